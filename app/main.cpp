// The launcher's entry point: one launcher per logon, a client beside it,
// process-wide graphics and COM, the main window and its message loop.
#include <windows.h>
#include <commctrl.h>
#include <objidl.h>
#include <ole2.h>
#include <gdiplus.h>

#include <filesystem>
#include <system_error>

#include "base/base.h"
#include "ui/ui.h"
#include "update/update.h"

namespace {

constexpr const wchar_t* kMutexName = L"Local\\KobaluneKivLauncherSingleInstance";
constexpr const wchar_t* kCaption = L"KIV Launcher";
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr int kClientWidth = 786;
constexpr int kClientHeight = 620;

HANDLE singleInstanceMutex = nullptr;
ULONG_PTR gdiplusToken = 0;

void closeMutex() {
    if (singleInstanceMutex != nullptr) CloseHandle(singleInstanceMutex);
    singleInstanceMutex = nullptr;
}

void setWindowIcon(HWND window, HINSTANCE instance, int size, WPARAM which) {
    HANDLE icon = LoadImageW(instance, MAKEINTRESOURCEW(IDI_LAUNCHER), IMAGE_ICON, size, size, 0);
    if (icon != nullptr) SendMessageW(window, WM_SETICON, which, reinterpret_cast<LPARAM>(icon));
}

// The copy that an update moved aside may still be ending (it starts this
// program just before it exits), so a copy that will not go yet is given a
// moment.
void removeOldProgram(const std::filesystem::path& directory, const std::wstring& fileName) {
    if (fileName.empty()) return;
    for (int attempt = 0; attempt < 50 && !kiv::removeReplacedLauncher(directory, fileName); ++attempt) Sleep(40);
}

void startProgram(const std::filesystem::path& program) {
    std::wstring commandLine = L"\"" + program.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       program.parent_path().c_str(), &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    using namespace kiv;

#ifdef KIV_LAUNCHER_BASE_URL
    // A launcher built to talk to another patch server (a local one, for trials).
    workerBaseUrl = L"" KIV_LAUNCHER_BASE_URL;
#endif

    singleInstanceMutex = CreateMutexW(nullptr, TRUE, kMutexName);
    if (singleInstanceMutex == nullptr) {
        MessageBoxW(nullptr, L"Could not start the launcher.", kCaption, MB_OK | MB_ICONERROR);
        return 1;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Asynchronously: the first launcher may be busy (starting the game,
        // showing a message) and must not keep this one waiting.
        if (HWND running = FindWindowW(kWindowClassName, nullptr)) {
            ShowWindowAsync(running, SW_RESTORE);
            SetForegroundWindow(running);
        }
        closeMutex();
        return 0;
    }

    const std::filesystem::path program = launcherProgramPath();
    const std::filesystem::path directory = program.parent_path();
    std::error_code ignored;
    std::filesystem::remove(directory / L"kiv_launcher.log", ignored);
    removeOldProgram(directory, program.filename().wstring());

    // A directory that cannot even be looked into counts as one without a client.
    std::error_code existence;
    if (!std::filesystem::exists(directory / L"kiv.exe", existence) || existence) {
        MessageBoxW(nullptr, L"kiv.exe was not found beside the launcher.", kCaption, MB_OK | MB_ICONERROR);
        closeMutex();
        return 1;
    }

    OleInitialize(nullptr);
    Gdiplus::GdiplusStartupInput startup;
    Gdiplus::GdiplusStartup(&gdiplusToken, &startup, nullptr);

    if (Gdiplus::DllExports::GdipNewPrivateFontCollection(&privateFonts) != Gdiplus::Ok) privateFonts = nullptr;
    for (int id = IDF_FIRST; id <= IDF_LAST; ++id) loadEmbeddedFont(id);

    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_LAUNCHER));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kWindowClassName;
    RegisterClassExW(&windowClass);

    RECT outer{0, 0, kClientWidth, kClientHeight};
    AdjustWindowRect(&outer, kWindowStyle, FALSE);
    const int outerWidth = outer.right - outer.left;
    const int outerHeight = outer.bottom - outer.top;
    const POINT position = loadSavedPosition(outerWidth, outerHeight);

    HWND window = CreateWindowExW(0, kWindowClassName, kCaption, kWindowStyle, position.x, position.y, outerWidth,
                                  outerHeight, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        closeMutex();
        return 1;
    }
    windowState.mainWindow = window;
    setWindowIcon(window, instance, 32, ICON_BIG);
    setWindowIcon(window, instance, 16, ICON_SMALL);
    ShowWindow(window, showCommand);
    SetWindowTextW(window, formatWindowTitle(readInstalledVersion(directory)).c_str());
    UpdateWindow(window);

    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Keys for the news page (Tab, Enter, copying, typing in a form) go to it first.
        if (translateNewsPageKey(message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }

    if (gdiplusToken != 0) Gdiplus::GdiplusShutdown(gdiplusToken);
    OleUninitialize();
    closeMutex();
    // An update replaced this program: the new one starts now, after the
    // single-instance guard has been released, and this one ends.
    if (windowState.restartLauncher) startProgram(program);
    const int exitCode = static_cast<int>(message.wParam);
    // A worker still running (the window was closed during an update) is
    // stopped here, before any of the process's static state is torn down
    // under it. The update writes the version file last and replaces archive
    // items so that an interruption at any point leaves a consistent
    // installation, which the next run completes.
    if (windowState.workerBusy) ExitProcess(static_cast<UINT>(exitCode));
    return exitCode;
}
