#pragma once
// Small text files written for Windows programs (the realmlist file, the aria2 input list).
#include <string>
#include <vector>

namespace tw {

// Writes `lines`, each followed by CR LF, in the system's ANSI code page. The file is replaced
// atomically. A file marked read-only is not overwritten. Raises tw::Error naming the path and
// the system's reason on failure.
void WriteAnsiLines(const std::string& path, const std::vector<std::string>& lines);

// Writes `lines` with CR LF for a program native to this system (the downloader's input list),
// in the encoding such a program reads file names in: a Linux aria2c takes the bytes of out= as
// the file's name, so a name in the Windows code page would land under a garbled name. Replaced
// atomically; raises tw::Error like WriteAnsiLines.
void WriteNativeProgramLines(const std::string& path, const std::vector<std::string>& lines);

// The bytes WriteAnsiLines would write.
std::string EncodeAnsiLines(const std::vector<std::string>& lines);
// The same in a given code page; a UTF-8 one (65001, which Windows can be set to use as its ANSI
// code page) starts with the byte-order mark.
std::string EncodeLinesInCodePage(const std::vector<std::string>& lines, unsigned codePage);

} // namespace tw
