#pragma once
// Small text files written for Windows programs (the realmlist file, the aria2 input list).
#include <string>
#include <vector>

namespace tw {

// Writes `lines`, each followed by CR LF, in the system's ANSI code page. The file is replaced
// atomically. A file marked read-only is not overwritten. Raises tw::Error naming the path and
// the system's reason on failure.
void WriteAnsiLines(const std::string& path, const std::vector<std::string>& lines);

// The bytes WriteAnsiLines would write.
std::string EncodeAnsiLines(const std::vector<std::string>& lines);

} // namespace tw
