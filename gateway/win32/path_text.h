// Path text in an ANSI code page, walked character by character: a trail byte
// of a double-byte character may be 0x5C, the byte of a backslash (code page
// 932: U+8868 is 95 5C), so a path cannot be read backwards byte by byte.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstddef>
#include <string_view>

namespace qg::win32 {

// Where the last part of `path` starts: just after its last separator.
inline std::size_t file_name_start(std::string_view path, UINT code_page = CP_ACP) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < path.size();) {
        if (::IsDBCSLeadByteEx(code_page, static_cast<BYTE>(path[i])) && i + 1 < path.size()) {
            i += 2;
            continue;
        }
        if (path[i] == '\\' || path[i] == '/') start = i + 1;
        ++i;
    }
    return start;
}

}  // namespace qg::win32
