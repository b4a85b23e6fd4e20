#pragma once
// Reading Windows profile files (cfg.ini) with the rules Windows applies to them.
#include <string>

namespace tw {

// Longest value a profile read returns (the reader's buffer holds 2,048 characters with the
// terminating zero); longer values are cut.
inline constexpr std::size_t kProfileValueLimit = 2047;

// The value of `key` in `[section]` of the file at `path`. Section and key are matched without
// regard to ASCII case and surrounding blanks; the value is trimmed and one pair of enclosing
// quotes removed. `defaultValue` is returned only when the file, section or key is missing
// (an empty value gives ""). Of duplicate keys the first wins. The file may be UTF-8 (with or
// without BOM), UTF-16 LE with BOM, or in the ANSI code page.
std::string ReadProfileString(const std::string& path, const std::string& section, const std::string& key,
                              const std::string& defaultValue);

} // namespace tw
