#pragma once
// Small text files written for Windows programs (the realmlist file, the aria2 input list).
#include <string>
#include <vector>

namespace tw {

// Writes `lines`, each followed by CR LF, in the system's ANSI code page. The file is replaced
// atomically. A file marked read-only is not overwritten. Raises tw::Error naming the path and
// the system's reason on failure.
void WriteAnsiLines(const std::string& path, const std::vector<std::string>& lines);

// Writes `lines` with CR LF in UTF-8, for the downloader's input list: aria2c takes the bytes of
// out= as UTF-8 on every system (on Windows it turns each name from UTF-8 into UTF-16), so a name
// in the ANSI code page would land under a garbled name, even on a Chinese Windows. Replaced
// atomically; raises tw::Error like WriteAnsiLines.
void WriteNativeProgramLines(const std::string& path, const std::vector<std::string>& lines);

// The bytes WriteAnsiLines would write.
std::string EncodeAnsiLines(const std::vector<std::string>& lines);
// The same in a given code page; a UTF-8 one (65001, which Windows can be set to use as its ANSI
// code page) starts with the byte-order mark.
std::string EncodeLinesInCodePage(const std::vector<std::string>& lines, unsigned codePage);

} // namespace tw
