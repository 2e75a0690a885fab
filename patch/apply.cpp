// Applying a directory of patch files to the installation's archive pairs.
#include "patch/patch.h"

namespace kiv {

bool isPatchFile(std::wstring_view path) {
    const std::size_t separator = path.find_last_of(L"\\/");
    const std::wstring_view element = separator == std::wstring_view::npos ? path : path.substr(separator + 1);
    const std::size_t dot = element.rfind(L'.');
    // No dot, a dot that only starts the name (".npatch"), and "." and ".."
    // themselves: no extension.
    if (dot == std::wstring_view::npos || dot == 0 || element == L"..") return false;
    const std::wstring_view extension = element.substr(dot);
    return extension == L".cab" || extension == L".npatch";
}

}  // namespace kiv
