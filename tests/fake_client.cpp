// A stand-in for the game client in tests. It writes its command line, its
// working directory and the handle of its main window to the file named by
// KIV_FAKE_CLIENT_RECORD, and, like real clients, shows some windows that are
// not its main window first: an owned splash window, a tool window and a
// graphics-library helper. Its main window, titled "KIV Client", appears
// after KIV_FAKE_CLIENT_DELAY_MS milliseconds. It ends when its main window
// is closed, or after 30 seconds.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring environment(const wchar_t* name) {
    wchar_t value[1024];
    DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

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

    std::wstring delay = environment(L"KIV_FAKE_CLIENT_DELAY_MS");
    pumpFor(delay.empty() ? 0 : static_cast<DWORD>(std::wcstoul(delay.c_str(), nullptr, 10)));
    mainClientWindow = makeWindow(L"KIV Client", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, nullptr);

    std::wstring record = environment(L"KIV_FAKE_CLIENT_RECORD");
    if (!record.empty()) {
        wchar_t directory[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, directory);
        std::wstring text = std::wstring(GetCommandLineW()) + L"\n" + directory + L"\n" +
                            std::to_wstring(reinterpret_cast<UINT_PTR>(mainClientWindow)) + L"\n";
        int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                       nullptr);
        std::string bytes(static_cast<std::size_t>(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                            nullptr);
        // Written under another name and renamed, so that a reader never sees half of it.
        std::wstring partial = record + L".partial";
        FILE* file = _wfopen(partial.c_str(), L"wb");
        if (file != nullptr) {
            std::fwrite(bytes.data(), 1, bytes.size(), file);
            std::fclose(file);
            MoveFileExW(partial.c_str(), record.c_str(), MOVEFILE_REPLACE_EXISTING);
        }
    }

    SetTimer(nullptr, 0, 30000, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER && message.hwnd == nullptr) break;
        DispatchMessageW(&message);
    }
    return 0;
}
