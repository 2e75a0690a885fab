#include "update/update.h"

#include <windows.h>
#include <tlhelp32.h>
#include <wchar.h>

namespace kiv {

bool isClientRunning() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        // Without a process list, a client window is the next best sign.
        return FindWindowW(nullptr, L"KIV Client") != nullptr;
    }
    PROCESSENTRY32W process{};
    process.dwSize = sizeof process;
    bool running = false;
    for (BOOL more = Process32FirstW(snapshot, &process); more; more = Process32NextW(snapshot, &process)) {
        if (_wcsicmp(process.szExeFile, L"kiv.exe") == 0) {
            running = true;
            break;
        }
    }
    CloseHandle(snapshot);
    return running;
}

}  // namespace kiv
