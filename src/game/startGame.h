#pragma once
// Pointing the game client at the service's game server and starting it.
#include <string>

namespace tw {

enum class StartGameResult {
    Started,
    ClientMissing, // no wow.exe in the program folder: nothing was written or started
    StartFailed,   // the realm list was written but the process could not be created
};

// The host as it goes into the realm list: without leading and trailing blanks and control
// characters, and without double quotes or control characters inside, which would otherwise end
// the quoted value and let the text add lines or settings of its own.
std::string RealmlistHost(const std::string& host);

// The realm list line for `host` (already cleaned).
std::string RealmlistLine(const std::string& host);

// Writes realmlist.wtf (and Data/zhCN/realmlist.wtf when that folder exists) in the ANSI code
// page, then starts wow.exe by its full path, unquoted. Raises tw::Error naming the file when a
// realm list cannot be written; the game is then not started. `programFolder` ends in a separator.
StartGameResult StartGame(const std::string& programFolder, const std::string& wowHost);

} // namespace tw
