#pragma once
// Putting a complete unpack into the game's add-on folder so that a kill at any moment (power cut,
// task manager) leaves the folder whole: after the next start it holds either everything it held
// before or everything the install meant it to hold, never a mix and never nothing.
//
// How: the unpack is first made a sibling of the add-on folder (renamed there, or across file
// systems copied, compared with its source and only then used). A journal in the download folder,
// written and synced before the first step that changes the add-on folder, names the folders
// involved and every entry the install touches. Replacing swaps the folder by two renames (the
// old one is kept aside until the new one stands); merging moves each replaced file aside before
// its replacement goes in. A failure undoes what was done; a kill is finished or undone by
// RecoverAddonInstall at the next start, before any add-on worker runs.
#include <string>

namespace tw {

// The journal of the install in progress, in the download folder.
inline constexpr char kAddonJournalName[] = "addon-install.journal";
// Unpacks are staged in folders of the temporary folder whose names begin so.
inline constexpr char kAddonStagingPrefix[] = "addon-";

// Puts the unpacked add-on `staging` (a folder; may be on another file system) in place of the
// add-on folder `addons` (`replace`), or merges it into it (files replace files, folders merge,
// other entries stay). Both paths without a trailing separator; the parent of `addons` must
// exist. `journalFolder` (ending in a separator) holds the journal. One install at a time per
// process goes through here; others wait. Raises tw::Error after undoing what it had done;
// `staging` is used up either way.
void PlaceStagedAddon(const std::string& staging, const std::string& addons, bool replace,
                      const std::string& journalFolder);

// At start, before any add-on worker: finishes or undoes an install that a kill interrupted
// (journal in `downPath`), then removes the staging that interrupted runs left below `downTemp`
// and beside `addons`. Never raises; a step that fails is tried again at the next start.
void RecoverAddonInstall(const std::string& addons, const std::string& downPath, const std::string& downTemp);

// The same for the folders of a program folder (ending in a separator): Interface/AddOns,
// down/ and down/temp/.
void RecoverAddonInstallIn(const std::string& programFolder);

} // namespace tw
