#pragma once
// The page's maintenance commands on the game folder, and opening links.
#include <string>

namespace tw {

// Each removes its folders below `programFolder` (which ends in a separator) with
// RemoveFolderTree, in this order, whatever the result of the one before:
void ClearCache(const std::string& programFolder);     // Cache, Errors, Logs
void ClearUserCache(const std::string& programFolder); // WTF/Account, Interface/AddOns
void ClearFonts(const std::string& programFolder);     // Fonts

// True for an absolute http or https address with a host. Only such addresses go to the
// desktop: a page served over plain HTTP must not be able to start programs or open local files.
bool IsWebAddress(const std::string& url);

// Opens `url` in the desktop's browser when it is a web address; does nothing otherwise.
// Gives whether it was handed over.
bool OpenWebAddress(const std::string& url);

} // namespace tw
