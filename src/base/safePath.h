#pragma once
#include <string>

namespace tw {

// True for a relative path that stays inside the folder it is appended to: not empty, not
// absolute, no drive letter or other colon, no ".." part, no empty name at the end. Either
// separator may be used.
bool IsContainedRelativePath(const std::string& path);

// True for a plain file name: a contained path without any separator, and not "." or "..".
bool IsPlainFileName(const std::string& name);

} // namespace tw
