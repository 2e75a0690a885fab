// A stand-in for the game client in tests. It writes its command line and its
// working directory to the file named by KIV_FAKE_CLIENT_RECORD and shows its
// main window, titled "KIV Client". It ends when that window is closed, or
// after 30 seconds.
#include "base/base.h"

#include <windows.h>

#include <fstream>

namespace {

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"KivFakeClient";
    RegisterClassW(&windowClass);
    CreateWindowExW(0, L"KivFakeClient", L"KIV Client", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100, 200, 150, nullptr,
                    nullptr, instance, nullptr);

    if (const wchar_t* record = _wgetenv(L"KIV_FAKE_CLIENT_RECORD")) {
        wchar_t directory[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, directory);
        const std::wstring text = std::wstring(GetCommandLineW()) + L"\n" + directory + L"\n";
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
