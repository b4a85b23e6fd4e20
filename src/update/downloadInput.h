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

// True for an option of the fetched aria2.conf that the service may not set (compared without
// regard to case): every hook (on-*), the folder, input list, session, log and the other files
// aria2c would write (dir, input-file, save-session, log, save-cookies, server-stat-of,
// dht-file-path, dht-file-path6), and what opens the RPC port to other hosts or pages
// (rpc-listen-all, rpc-allow-origin-all).
bool IsNeutralisedAria2Option(std::string_view name);

// The fetched aria2.conf with every line that sets such an option turned into a comment (a '#' in
// front); every other byte stays as sent. Lines are read as aria2c reads them: split at LF, the
// option name is what stands before the first '=', surrounding blanks and control characters
// ignored, and a line that begins with '#' is a comment already.
std::string NeutraliseAria2Conf(std::string_view conf);

} // namespace tw
