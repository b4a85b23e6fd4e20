#pragma once
// Handing files and links to the desktop, and the text encoding other programs expect.
#include <string>

namespace tw::platform {

// Opens a document, folder or URL with the desktop's default program, detached; the result is
// not awaited.
void OpenWithDesktop(const std::string& target);

// The system's ANSI code page: the one a Windows program such as the game client sees for the
// user's locale (936, GBK, for a Chinese locale). Text written for the game and archive names
// without a Unicode mark both use it.
unsigned AnsiCodePage();
// Its name for iconv ("CP936").
std::string AnsiCodePageName();

// Decodes text in a Windows code page into UTF-8. False, with `utf8` empty, when `bytes` is not
// valid text in that code page (or the code page is unknown here).
bool DecodeCodePage(const std::string& bytes, unsigned codePage, std::string& utf8);

// Converts UTF-8 text into a Windows code page (65001 is UTF-8 itself). Characters the code page
// lacks become '?'.
std::string Utf8ToCodePage(const std::string& utf8, unsigned codePage);

// Converts UTF-8 text into / from the ANSI code page. Characters the code page lacks become '?'.
std::string Utf8ToAnsi(const std::string& utf8);
std::string AnsiToUtf8(const std::string& ansi);

} // namespace tw::platform
