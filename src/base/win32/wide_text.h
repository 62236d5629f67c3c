// Text as the Win32 side hands it to the system: UTF-8 inside the launcher, UTF-16 at every wide
// Windows call. Shared by the Win32 files of the base layer and the updater.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace qv::launcher {

// The UTF-16 form of UTF-8 text; false for malformed, cut-off, overlong or surrogate sequences
// and for text with a NUL inside, so a name can never silently turn into another one.
bool wideFromUtf8(std::string_view utf8, std::wstring& wide);

// The UTF-8 form of UTF-16 text. A unit that is not part of a valid pair becomes U+FFFD:
// such text has no UTF-8 form, and the caller's count of items must not change.
std::string utf8FromWide(std::wstring_view wide);

// The system's message for a Win32 error code as UTF-8, in the user's language, asked for in
// UTF-16 so that a localized system's text arrives whole whatever the ANSI code page; empty when
// the system has none. Its inserts ("%1") are left out, and so are line breaks and a final full
// stop, the ideographic one ("\u3002") too.
std::string systemMessageUtf8(unsigned long code);

// The same in US English where the system has it in English, else as systemMessageUtf8.
std::string englishSystemMessageUtf8(unsigned long code);

// A system message as it reads on its own: its inserts left out with the blanks they leave, line
// breaks as blanks, and no blank or full stop at the end (Latin, CJK or Devanagari).
std::wstring plainMessage(std::wstring_view message);

// Opens the file by its wide name with the fopen mode ("r", "w" or "a", optionally followed by
// "b"), not inheritable by started processes; null on failure or for any other mode.
std::FILE* openWideNoInherit(const wchar_t* name, const char* mode);

} // namespace qv::launcher
