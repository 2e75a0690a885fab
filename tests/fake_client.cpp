// A stand-in for the game client in tests. It writes its command line, its
// working directory and the handle of its main window to the file named by
// KIV_FAKE_CLIENT_RECORD, and, like real clients, shows some windows that are
// not its main window first: an owned splash window, a tool window and a
// graphics-library helper. Its main window, titled "KIV Client", appears
// after KIV_FAKE_CLIENT_DELAY_MS milliseconds. It ends when its main window
// is closed, or after 30 seconds.
#include "base/base.h"

#include <windows.h>

#include <cstdlib>
#include <fstream>

namespace {

HWND makeWindow(const wchar_t* title, DWORD style, DWORD extendedStyle, HWND owner) {
    return CreateWindowExW(extendedStyle, L"KivFakeClient", title, style, 100, 100, 200, 150, owner, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

void pumpFor(DWORD milliseconds) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < milliseconds) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        Sleep(10);
    }
}

HWND mainClientWindow = nullptr;

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY && window == mainClientWindow) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"KivFakeClient";
    RegisterClassW(&windowClass);

    HWND hiddenOwner = makeWindow(L"owner", WS_OVERLAPPEDWINDOW, 0, nullptr);
    makeWindow(L"splash", WS_POPUP | WS_VISIBLE, 0, hiddenOwner);
    makeWindow(L"tools", WS_OVERLAPPEDWINDOW | WS_VISIBLE, WS_EX_TOOLWINDOW, nullptr);
    makeWindow(L"gdi+ Window", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, nullptr);

    const wchar_t* delay = _wgetenv(L"KIV_FAKE_CLIENT_DELAY_MS");
    pumpFor(delay == nullptr ? 0 : static_cast<DWORD>(std::wcstoul(delay, nullptr, 10)));
    mainClientWindow = makeWindow(L"KIV Client", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, nullptr);

    if (const wchar_t* record = _wgetenv(L"KIV_FAKE_CLIENT_RECORD")) {
        wchar_t directory[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, directory);
        const std::wstring text = std::wstring(GetCommandLineW()) + L"\n" + directory + L"\n" +
                                  std::to_wstring(reinterpret_cast<UINT_PTR>(mainClientWindow)) + L"\n";
        // Written under another name and renamed, so that a reader never sees half of it.
        const std::filesystem::path partial = std::wstring(record) + L".partial";
        std::ofstream(partial, std::ios::binary) << kiv::wideToUtf8(text);
        MoveFileExW(partial.c_str(), record, MOVEFILE_REPLACE_EXISTING);
    }

    SetTimer(nullptr, 0, 30000, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER && message.hwnd == nullptr) break;
        DispatchMessageW(&message);
    }
    return 0;
}
