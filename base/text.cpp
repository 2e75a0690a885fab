#include "base/base.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kiv {

#ifdef _WIN32

std::wstring utf8ToWide(std::string_view bytes) {
    if (bytes.empty()) return {};
    // The conversion works on int lengths; convert in pieces that end on a
    // character boundary so that very long inputs are handled too.
    std::wstring out;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t length = bytes.size() - start;
        constexpr std::size_t piece = 1u << 28;
        if (length > piece) {
            length = piece;
            // Back up over continuation bytes so no sequence is split.
            std::size_t back = 0;
            while (back < 3 && (static_cast<unsigned char>(bytes[start + length - back]) & 0xC0) == 0x80) ++back;
            length -= back;
        }
        const char* source = bytes.data() + start;
        int needed = MultiByteToWideChar(CP_UTF8, 0, source, static_cast<int>(length), nullptr, 0);
        if (needed <= 0) break;
        std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(needed));
        MultiByteToWideChar(CP_UTF8, 0, source, static_cast<int>(length), out.data() + at, needed);
        start += length;
    }
    return out;
}

std::string wideToUtf8(std::wstring_view text) {
    if (text.empty()) return {};
    int needed =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string out(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), needed, nullptr, nullptr);
    return out;
}

#else

// Decodes by the "maximal subpart" rule: a lead byte followed by a valid but
// incomplete tail is one replacement character; a byte that cannot start or
// continue a sequence is one replacement character of its own.
std::wstring utf8ToWide(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        unsigned char b = p[i];
        if (b < 0x80) {
            out.push_back(static_cast<wchar_t>(b));
            ++i;
            continue;
        }
        int tail;
        char32_t code;
        unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            tail = 1;
            code = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            tail = 2;
            code = b & 0x0F;
            if (b == 0xE0) low = 0xA0;
            if (b == 0xED) high = 0x9F;  // no surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            tail = 3;
            code = b & 0x07;
            if (b == 0xF0) low = 0x90;
            if (b == 0xF4) high = 0x8F;  // nothing above U+10FFFF
        } else {
            out.push_back(L'\uFFFD');
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        bool complete = true;
        for (int k = 0; k < tail; ++k, ++j) {
            unsigned char c = j < n ? p[j] : 0;
            unsigned char lo = k == 0 ? low : 0x80, hi = k == 0 ? high : 0xBF;
            if (j >= n || c < lo || c > hi) {
                complete = false;
                break;
            }
            code = (code << 6) | (c & 0x3F);
        }
        out.push_back(complete ? static_cast<wchar_t>(code) : L'\uFFFD');
        i = j;
    }
    return out;
}

std::string wideToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
        auto c = static_cast<char32_t>(w);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

#endif

bool equalsIgnoringCase(std::wstring_view left, std::wstring_view right) {
    return left.size() == right.size() && startsWithIgnoringCase(left, right);
}

bool startsWithIgnoringCase(std::wstring_view text, std::wstring_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (foldCase(text[i]) != foldCase(prefix[i])) return false;
    }
    return true;
}

bool containsIgnoringCase(std::wstring_view text, std::wstring_view part) {
    for (std::size_t start = 0; start + part.size() <= text.size(); ++start) {
        if (startsWithIgnoringCase(text.substr(start), part)) return true;
    }
    return false;
}

}  // namespace kiv
