// Timings of the launcher under Wine, printed for scripts/bench-window: the
// start of the program up to its first complete paint, and one repaint of
// the status band (the update rectangle only) against one of the whole
// client area.
#include "tests/launcher_canvas.h"
#include "tests/support.h"

#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// From CreateProcess until the window answers a message: the first paint
// (UpdateWindow) happens before the message loop, so it is complete by then.
double startToFirstPaint() {
    kiv::test::TempDir install;
    std::filesystem::copy_file(kiv::launcherDirectory() / L"kiv_launcher_loopback.exe", install / L"kiv_launcher.exe");
    std::filesystem::copy_file(kiv::launcherDirectory() / L"fake_client.exe", install / L"kiv.exe");
    kiv::test::writeFile(install / "kiv.ver", "57\r\n");
    std::wstring commandLine = L"\"" + (install / L"kiv_launcher.exe").wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const auto start = Clock::now();
    double elapsed = -1;
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return elapsed;
    for (int i = 0; i < 20000 && elapsed < 0; ++i) {
        Sleep(1);
        HWND window = FindWindowW(L"KobaluneKivLauncher", nullptr);
        if (window != nullptr && IsWindowVisible(window) &&
            SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, nullptr)) {
            elapsed = millisecondsSince(start);
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
    }
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return elapsed;
}

struct Timing : kiv::test::LauncherFixture {
    void TestBody() override {
        SetUp();
        loadShippedImages();
        kiv::windowState.setStatusText(kiv::StatusRow::version, L"Update available");
        HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, 786, 620, nullptr, nullptr,
                                      nullptr, nullptr);
        HDC dc = GetDC(window);
        for (const auto& [name, area] :
             {std::pair{"status band", kiv::kStatusBand}, std::pair{"whole client area", RECT{0, 0, 786, 620}}}) {
            kiv::renderClientArea(dc, area);
            const auto start = Clock::now();
            for (int i = 0; i < 200; ++i) {
                kiv::windowState.setProgress(kiv::StatusRow::download, i % 101);
                kiv::renderClientArea(dc, area);
            }
            GdiFlush();
            std::printf("repaint of the %s: %.2f ms\n", name, millisecondsSince(start) / 200);
        }
        ReleaseDC(window, dc);
        DestroyWindow(window);
        TearDown();
    }
};

}  // namespace

int main() {
    Timing().TestBody();
    for (int i = 0; i < 3; ++i) std::printf("start to first complete paint: %.0f ms\n", startToFirstPaint());
    return 0;
}
