#pragma once
// What the update worker hands to the downloader comes from the network. These rules keep it to
// what the worker means to ask for: http and https files below the download folder, fetched by an
// aria2c that runs no program, writes nowhere else and answers only this machine.
#include <string>
#include <string_view>

namespace tw {

// True when `text` holds a character below U+0020 or U+007F (a line break would start a new
// option line of the input list; a tab separates mirror URLs there).
bool HasControlCharacter(std::string_view text);

// True when a list entry (a client file or a patch) may be fetched: `url` is an http or https URL,
// `filename` stays inside the folder it is put below, and neither holds a control character.
bool IsFetchableEntry(const std::string& url, const std::string& filename);

// True for an option of the fetched aria2.conf that the service may set (compared without regard
// to case): those that shape speed and retries (connections, splits, timeouts, retries, speed
// limits, file allocation, disk cache, continuing and how often progress is saved for it). Every
// other option could make aria2c fetch, write, run or open what the launcher never asked for.
bool IsAllowedAria2Option(std::string_view name);

// The fetched aria2.conf with every line that sets an option not allowed above turned into a
// comment (a '#' in front); every other byte stays as sent. Lines are read as aria2c reads them:
// split at LF, the option name is what stands before the first '=' (the whole line without one),
// surrounding blanks and control characters ignored, and a line that begins with '#' is a comment
// already.
std::string NeutraliseAria2Conf(std::string_view conf);

// What the launcher itself sets in the configuration aria2c reads, after the service's part (so
// that it wins): no metalink or torrent document is followed (a server answering a listed file
// with one would make aria2c fetch whatever it names), no peer-to-peer networking or listening
// socket, output names taken as written, and the RPC secret, which a command line would show to
// every local process.
std::string LauncherAria2Settings(const std::string& secret);

} // namespace tw
