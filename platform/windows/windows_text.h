#pragma once

// Text at the Windows API: UTF-8 inside the program, UTF-16 at every call,
// never the process's code page. Windows builds only.

#include <string>
#include <string_view>
#include <windows.h>

namespace platform::windows {

// UTF-8 to UTF-16. Throws std::invalid_argument when text is not UTF-8, so
// that nothing reaches the system other than what the text says.
std::wstring to_utf16(std::string_view text);

// UTF-16 to UTF-8; a lone surrogate (no character) becomes U+FFFD.
std::string to_utf8(std::wstring_view text);

// A line another program printed, in UTF-8: unchanged when it is UTF-8
// already, otherwise read in the system's ANSI code page (GetACP), which is
// what Python programs such as esptool.exe write to a pipe or a file.
std::string program_text_to_utf8(std::string_view text);

// Windows' own message for an error code, in UTF-8, without its line end;
// "error N" when the system has none.
std::string error_message(DWORD code);

}  // namespace platform::windows
