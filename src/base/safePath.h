#pragma once
#include <string>
#include <string_view>

namespace tw {

// True for a relative path that stays inside the folder it is appended to: not empty, not
// absolute, no drive letter or other colon, no ".." part, no empty name at the end, and no part
// that Windows refuses or reads otherwise (IsNameWindowsRefuses). Either separator may be used.
bool IsContainedRelativePath(const std::string& path);

// True for one name (no separators) that Windows refuses as a file name or takes for something
// else, so that writing to it would not make that file in that folder: a device name (CON, PRN,
// AUX, NUL, COM1-COM9, LPT1-LPT9, in any case, with or without an extension), a name ending in a
// dot or a blank (Windows drops them and reaches another name), or one holding a character that
// Windows does not allow (< > : " | ? * and control characters; ':' would name a stream of
// another file). "." and ".." are left to the callers. The same on every system, so that an
// archive or a file list installs alike everywhere.
bool IsNameWindowsRefuses(std::string_view name);

// True for a plain file name: a contained path without any separator, and not "." or "..".
bool IsPlainFileName(const std::string& name);

} // namespace tw
