// What the Windows platform files share: the handle owner, the stop event,
// and small file and text helpers. Nothing here needs user32.dll.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform.h"
#include "quillgate/common/win32_io.h"

namespace qg::platform {

using OwnedHandle = quillgate::common::Handle;
using quillgate::common::write_all;

inline HANDLE handle_of(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Set once the web server or a user asks the gateway to end; the waits wake
// on it. Made by prepare_process; without it (in tests) a wait is a sleep.
extern HANDLE termination_event;

// Lower-cases a text in the system's ANSI code page, the one file names are
// given in. A text the service cannot map stays as it was.
void lower_in_place(std::string& text);

// Converts one UTF-16 text to the ANSI code page. The buffer is sized for the
// longest form any ANSI code page gives (three bytes per UTF-16 unit, as
// UTF-8 does), so the service never has to be asked for the length first.
// Characters the code page lacks become "?" rather than a look-alike (a
// full-width "&" must not turn into a real one).
std::optional<std::string> to_ansi(const wchar_t* wide, std::size_t length);

// The identity of an open file, with whether it is a reparse point (a
// symbolic link or a junction opened as itself).
std::optional<FileId> id_of(HANDLE file, bool* reparse_point = nullptr);

// Finds a file by a directory search for its name (letter case ignored by the
// file system). Fills `found` with the name as stored.
bool find_file(const std::string& path, std::string* found);

}  // namespace qg::platform
