#include "ui/ui.h"

#include <vector>

namespace kiv {

namespace {
constexpr DWORD kInputIdleWaitMs = 5000;
constexpr DWORD kWindowSearchMs = 10000;
constexpr DWORD kWindowSearchIntervalMs = 100;
}  // namespace

bool isClientMainWindow(HWND window) {
    if (!IsWindowVisible(window)) return false;
    if (GetWindow(window, GW_OWNER) != nullptr) return false;
    if ((GetWindowLongW(window, GWL_STYLE) & WS_DISABLED) != 0) return false;
    if ((GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) != 0) return false;

    // The graphics library's hidden helper windows carry its name in their
    // title or class; they are never the client's main window.
    std::wstring title;
    int length = GetWindowTextLengthW(window);
    if (length > 0) {
        std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1);
        int copied = GetWindowTextW(window, buffer.data(), length + 1);
        title.assign(buffer.data(), static_cast<std::size_t>(copied > 0 ? copied : 0));
    }
    wchar_t className[256] = {};
    int classLength = GetClassNameW(window, className, 256);
    std::wstring_view windowClass(className, static_cast<std::size_t>(classLength > 0 ? classLength : 0));
    return !containsIgnoringCase(title, L"GDI+") && !containsIgnoringCase(windowClass, L"GDI+");
}

BOOL CALLBACK findClientWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<ClientWindowSearch*>(parameter);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != search->processId) return TRUE;
    if (!isClientMainWindow(window)) return TRUE;
    search->window = window;
    return FALSE;
}

void startGame() {
    const std::filesystem::path directory = launcherDirectory();
    const std::wstring client = (directory / L"kiv.exe").wstring();
    // The path is quoted so that a directory with spaces still leaves the
    // client exactly one argument: its launch switch.
    std::wstring commandText = L"\"" + client + L"\" -vortiq";
    std::vector<wchar_t> commandLine(commandText.begin(), commandText.end());
    commandLine.push_back(L'\0');

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(client.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.wstring().c_str(), &startup, &process)) {
        showMessage(L"Could not start kiv.exe.", MessageIcon::error);
        return;
    }

    AllowSetForegroundWindow(process.dwProcessId);
    WaitForInputIdle(process.hProcess, kInputIdleWaitMs);

    const DWORD start = GetTickCount();
    while (GetTickCount() - start < kWindowSearchMs) {
        ClientWindowSearch search;
        search.processId = process.dwProcessId;
        EnumWindows(findClientWindow, reinterpret_cast<LPARAM>(&search));
        if (search.window != nullptr) {
            ShowWindowAsync(search.window, SW_SHOWNORMAL);
            SetForegroundWindow(search.window);
            break;
        }
        Sleep(kWindowSearchIntervalMs);
    }

    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    saveWindowPositionAndClose(windowState.mainWindow);
}

}  // namespace kiv
