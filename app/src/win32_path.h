// Path text in an ANSI code page, for the Windows platform file and its tests.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string_view>

namespace qga::platform::win32 {

// Whether the last character of `path` is a separator. In a double-byte code
// page a trail byte may be 0x5C, the byte of a backslash (code page 932:
// U+8868 is 95 5C), so the text is walked character by character from its
// start: read backwards, a trail byte cannot be told from a character.
inline bool ends_with_separator(std::string_view path, UINT code_page = CP_ACP) {
    std::size_t last = std::string_view::npos;
    for (std::size_t i = 0; i < path.size();) {
        last = i;
        i += (::IsDBCSLeadByteEx(code_page, static_cast<BYTE>(path[i])) && i + 1 < path.size()) ? 2 : 1;
    }
    return last != std::string_view::npos && last == path.size() - 1 && (path[last] == '\\' || path[last] == '/');
}

}  // namespace qga::platform::win32
