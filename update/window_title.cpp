#include "update/update.h"

namespace kiv {

std::wstring formatWindowTitle(std::int32_t version) {
    if (version < 1) return L"KIV Launcher";
    return L"KIV Client Ver. " + std::to_wstring(version);
}

}  // namespace kiv
