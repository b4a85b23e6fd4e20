#include "addon/addonPlace.h"

#include "base/helpers.h"
#include "base/safePath.h"
#include "base/text.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/process.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <set>
#include <vector>

namespace tw {

namespace {

// One install at a time goes through the journal.
std::mutex gPlaceMutex;
std::atomic<unsigned> gSerial{0};

std::string Join(const std::string& folder, const std::string& relative) {
    return relative.empty() ? folder : folder + kSep + relative;
}

// The position of the last separator (either one on Windows), npos when there is none.
std::size_t LastSeparator(const std::string& path) {
    for (std::size_t i = path.size(); i-- > 0;)
        if (platform::IsNativeSeparator(path[i]))
            return i;
    return std::string::npos;
}

std::string ParentOf(const std::string& path) {
    const auto i = LastSeparator(path);
    return i == std::string::npos ? std::string(".") : path.substr(0, i == 0 ? 1 : i);
}

std::string NameOf(const std::string& path) {
    return path.substr(LastSeparator(path) + 1);
}

// Beside the add-on folder, on its file system: ".AddOns-new-<tag>" and the like.
std::string Sibling(const std::string& addons, const char* role, const std::string& tag) {
    return Join(ParentOf(addons), "." + NameOf(addons) + "-" + role + "-" + tag);
}

std::vector<platform::DirEntry> Entries(const std::string& folder) {
    std::vector<platform::DirEntry> entries;
    if (!platform::ListFolder(folder, entries))
        RaiseSystemError("Cannot read the folder", folder, errno);
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return entries;
}

// Every folder and file below `root`, as relative paths, parents before their entries.
void Walk(const std::string& root, const std::string& relative, std::vector<std::string>& folders,
          std::vector<std::string>& files) {
    for (const auto& e : Entries(Join(root, relative))) {
        const std::string rel = relative.empty() ? e.name : relative + kSep + e.name;
        if (e.isFolder) {
            folders.push_back(rel);
            Walk(root, rel, folders, files);
        } else {
            files.push_back(rel);
        }
    }
}

void Sync(const std::string& path) {
    if (!platform::SyncPath(path))
        RaiseSystemError("Cannot flush to the disk", path, errno);
}

// A tree of new files on the disk, so that a power cut cannot leave a renamed name with lost
// content. One flush of the file system costs far less than one per file.
void SyncTree(const std::string& root) {
    if (!platform::SyncFileSystem(root))
        RaiseSystemError("Cannot flush to the disk", root, errno);
}

void Rename(const std::string& from, const std::string& to) {
    if (!platform::RenameReplace(from, to))
        RaiseSystemError("Cannot move the add-on entry into place", to, errno);
}

// Across file systems: copy the tree to `to` and compare every copy with its source before it
// is used; the source is removed only then.
void CopyVerified(const std::string& from, const std::string& to) {
    std::vector<std::string> folders, files;
    Walk(from, "", folders, files);
    if (!platform::CreateFolder(to))
        RaiseSystemError("Cannot create the folder", to, errno);
    for (const auto& f : folders)
        if (!platform::CreateFolder(Join(to, f)))
            RaiseSystemError("Cannot create the folder", Join(to, f), errno);
    for (const auto& f : files) {
        if (!platform::CopyFileNew(Join(from, f), Join(to, f)))
            RaiseSystemError("Cannot copy the add-on file", Join(to, f), errno);
        if (platform::FileSize(Join(from, f)) != platform::FileSize(Join(to, f)) ||
            FileMd5(Join(from, f)) != FileMd5(Join(to, f)))
            throw Error("The copy of the add-on file \"" + Join(to, f) + "\" differs from its source");
    }
}

// Makes `staging` the sibling `fresh` of the add-on folder: one rename on the same file system.
void Prepare(const std::string& staging, const std::string& fresh) {
    if (!platform::FolderExists(staging) && !platform::CreateFolder(staging)) // an archive of folders only
        RaiseSystemError("Cannot create the folder", staging, errno);
    if (!RemoveFolderTree(fresh))
        RaiseSystemError("Cannot clear the folder", fresh, errno);
    if (platform::RenameReplace(staging, fresh))
        return;
    if (errno != EXDEV)
        RaiseSystemError("Cannot move the add-on into place", fresh, errno);
    try {
        CopyVerified(staging, fresh);
    } catch (...) {
        RemoveFolderTree(fresh);
        throw;
    }
    RemoveFolderTree(staging);
}

struct Journal {
    std::string path;
    nlohmann::json data;

    void Write() { platform::WriteFileDurable(path, data.dump()); }
    void Remove() const {
        platform::DeleteFile(path);
        platform::SyncPath(ParentOf(path));
    }
};

// --- replace: the old folder goes aside, the new one takes its name ---

void FinishReplace(const Journal& j, const std::string& addons) {
    RemoveFolderTree(Join(ParentOf(addons), j.data.value("old", "")));
    j.Remove();
}

void UndoReplace(const Journal& j, const std::string& addons) {
    const std::string old = Join(ParentOf(addons), j.data.value("old", ""));
    if (!platform::PathExists(addons) && platform::PathExists(old))
        platform::RenameReplace(old, addons);
    RemoveFolderTree(Join(ParentOf(addons), j.data.value("new", "")));
    platform::SyncPath(ParentOf(addons));
    j.Remove();
}

bool IsTheNewFolder(const Journal& j, const std::string& addons) {
    platform::FileId id;
    return platform::GetFileId(addons, id) && id.device == j.data.value("newDevice", std::uint64_t{0}) &&
           id.inode == j.data.value("newInode", std::uint64_t{0});
}

void Replace(Journal& j, const std::string& fresh, const std::string& addons, const std::string& tag) {
    const std::string old = Sibling(addons, "old", tag);
    platform::FileId id;
    if (!platform::GetFileId(fresh, id))
        RaiseSystemError("Cannot read the folder", fresh, errno);
    j.data = {{"kind", "replace"},
              {"new", NameOf(fresh)},
              {"old", NameOf(old)},
              {"newDevice", id.device},
              {"newInode", id.inode}};
    j.Write();
    try {
        if (platform::PathExists(addons))
            Rename(addons, old);
        Rename(fresh, addons);
        Sync(ParentOf(addons));
    } catch (...) {
        UndoReplace(j, addons);
        throw;
    }
    FinishReplace(j, addons);
}

// --- merge: each replaced file goes aside before its replacement comes in ---

void UndoMerge(const Journal& j, const std::string& addons) {
    const std::string parent = ParentOf(addons);
    const std::string fresh = Join(parent, j.data.value("new", ""));
    const std::string undo = Join(parent, j.data.value("undo", ""));
    const auto files = j.data.value("files", std::vector<std::string>{});
    for (auto f = files.rbegin(); f != files.rend(); ++f) {
        const std::string target = Join(addons, *f);
        // Gone from the new tree means in place: it goes back there (not deleted, so that an undo
        // interrupted in its turn and run again never mistakes a restored file for a new one).
        if (!platform::PathExists(Join(fresh, *f)) && platform::PathExists(target))
            platform::RenameReplace(target, Join(fresh, *f));
        if (platform::PathExists(Join(undo, *f)))
            platform::RenameReplace(Join(undo, *f), target);
    }
    const auto created = j.data.value("created", std::vector<std::string>{});
    for (auto f = created.rbegin(); f != created.rend(); ++f)
        platform::DeleteEmptyFolder(Join(addons, *f));
    if (j.data.value("createdAddons", false))
        platform::DeleteEmptyFolder(addons);
    RemoveFolderTree(fresh);
    RemoveFolderTree(undo);
    platform::SyncPath(parent);
    j.Remove();
}

void FinishMerge(const Journal& j, const std::string& addons) {
    const std::string parent = ParentOf(addons);
    RemoveFolderTree(Join(parent, j.data.value("undo", "")));
    RemoveFolderTree(Join(parent, j.data.value("new", "")));
    j.Remove();
}

void Merge(Journal& j, const std::string& fresh, const std::string& addons, const std::string& tag) {
    std::vector<std::string> folders, files;
    Walk(fresh, "", folders, files);
    // A file against a folder (or the reverse) cannot be merged without deleting the player's
    // data: refused before anything moves.
    std::vector<std::string> created;
    for (const auto& f : folders) {
        const std::string target = Join(addons, f);
        if (!platform::PathExists(target))
            created.push_back(f);
        else if (!platform::FolderExists(target))
            throw Error("The add-on folder holds a file where the archive has the folder \"" + target + "\"");
    }
    for (const auto& f : files)
        if (platform::FolderExists(Join(addons, f)))
            throw Error("The add-on folder holds a folder where the archive has the file \"" + Join(addons, f) + "\"");

    const std::string undo = Sibling(addons, "undo", tag);
    const bool createdAddons = !platform::PathExists(addons);
    j.data = {{"kind", "merge"}, {"phase", "merge"},   {"new", NameOf(fresh)},          {"undo", NameOf(undo)},
              {"files", files},  {"created", created}, {"createdAddons", createdAddons}};
    j.Write();
    try {
        if (createdAddons && !platform::CreateFolder(addons))
            RaiseSystemError("Cannot create the folder", addons, errno);
        if (!platform::CreateFolder(undo))
            RaiseSystemError("Cannot create the folder", undo, errno);
        for (const auto& f : created)
            if (!platform::CreateFolder(Join(addons, f)))
                RaiseSystemError("Cannot create the folder", Join(addons, f), errno);
        std::set<std::string> touched{addons};
        for (const auto& f : files) {
            const std::string target = Join(addons, f);
            if (platform::PathExists(target)) {
                // As the game's own system refuses to overwrite a file marked read-only.
                if (platform::IsReadOnly(target))
                    throw Error("The add-on file \"" + target + "\" is read-only");
                EnsureFolder(ParentOf(Join(undo, f)) + kSep);
                Rename(target, Join(undo, f));
            }
            Rename(Join(fresh, f), target);
            touched.insert(ParentOf(target));
        }
        // The moves must be on the disk before the journal says they are all done.
        for (const auto& folder : touched)
            Sync(folder);
        j.data["phase"] = "commit";
        j.Write();
    } catch (...) {
        UndoMerge(j, addons);
        throw;
    }
    FinishMerge(j, addons);
}

std::string NewTag() {
    return std::to_string(platform::CurrentProcessId()) + "-" + std::to_string(++gSerial);
}

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.rfind(prefix, 0) == 0;
}

// A sibling name this installer makes: "." + the add-on folder's name + "-" + role + "-" + a tag
// of digits and dashes (NewTag), nothing that could name another place.
bool IsOurSibling(const nlohmann::json& name, const std::string& addons, const char* role) {
    if (!name.is_string())
        return false;
    const std::string prefix = "." + NameOf(addons) + "-" + role + "-";
    const std::string text = name.get<std::string>();
    return text.size() > prefix.size() && StartsWith(text, prefix) &&
           text.find_first_not_of("0123456789-", prefix.size()) == std::string::npos;
}

bool AreInsideNames(const nlohmann::json& list) {
    if (!list.is_array())
        return false;
    for (const auto& name : list)
        if (!name.is_string() || !IsContainedRelativePath(name.get<std::string>()))
            return false;
    return true;
}

// Whether a journal could have been written by this installer for `addons`: its kind, the
// siblings it names and every entry of its lists, which must stay inside the add-on folder. Any
// other journal is no plan to follow: acting on it could delete or move what lies elsewhere.
bool IsOurJournal(const nlohmann::json& data, const std::string& addons) {
    const std::string kind = data.value("kind", "");
    if (kind == "replace")
        return IsOurSibling(data.value("new", nlohmann::json()), addons, "new") &&
               IsOurSibling(data.value("old", nlohmann::json()), addons, "old");
    return kind == "merge" && IsOurSibling(data.value("new", nlohmann::json()), addons, "new") &&
           IsOurSibling(data.value("undo", nlohmann::json()), addons, "undo") &&
           AreInsideNames(data.value("files", nlohmann::json())) &&
           AreInsideNames(data.value("created", nlohmann::json()));
}

} // namespace

void PlaceStagedAddon(const std::string& staging, const std::string& addons, bool replace,
                      const std::string& journalFolder) {
    std::lock_guard lock(gPlaceMutex);
    if (!EnsureFolder(journalFolder))
        RaiseSystemError("Cannot create the folder", journalFolder, errno);
    const std::string tag = NewTag();
    const std::string fresh = Sibling(addons, "new", tag);
    try {
        Prepare(staging, fresh);
        SyncTree(fresh);
    } catch (...) {
        RemoveFolderTree(staging);
        RemoveFolderTree(fresh);
        throw;
    }
    Journal j{journalFolder + kAddonJournalName, {}};
    try {
        if (replace)
            Replace(j, fresh, addons, tag);
        else
            Merge(j, fresh, addons, tag);
    } catch (...) {
        RemoveFolderTree(fresh);
        throw;
    }
}

void RecoverAddonInstall(const std::string& addons, const std::string& downPath, const std::string& downTemp) {
    std::lock_guard lock(gPlaceMutex);
    try {
        Journal j{downPath + kAddonJournalName, {}};
        std::string text;
        bool foreign = false;
        if (platform::ReadFile(j.path, text)) {
            j.data = nlohmann::json::parse(text, nullptr, false);
            if (!j.data.is_object()) {
                // Never synced, so never acted on: the journal is written before any step.
                j.Remove();
            } else if (!IsOurJournal(j.data, addons)) {
                // Set aside for a person to look at; nothing it names is touched, and neither is
                // what interrupted runs left beside the add-on folder this time.
                foreign = true;
                platform::RenameReplace(j.path, j.path + ".refused");
            } else if (j.data.value("kind", "") == "replace") {
                if (IsTheNewFolder(j, addons))
                    FinishReplace(j, addons);
                else
                    UndoReplace(j, addons);
            } else if (j.data.value("phase", "") == "commit") {
                FinishMerge(j, addons);
            } else {
                UndoMerge(j, addons);
            }
        }
        // What interrupted runs left: nothing names it any more.
        std::vector<platform::DirEntry> entries;
        const std::string prefix = "." + NameOf(addons) + "-";
        if (!foreign && !platform::PathExists(downPath + kAddonJournalName) &&
            platform::ListFolder(ParentOf(addons), entries))
            for (const auto& e : entries)
                if (e.isFolder && StartsWith(e.name, prefix))
                    RemoveFolderTree(Join(ParentOf(addons), e.name));
        const std::string temp = WithoutTrailingSeparator(downTemp);
        if (platform::ListFolder(temp, entries))
            for (const auto& e : entries)
                if (e.isFolder && StartsWith(e.name, kAddonStagingPrefix))
                    RemoveFolderTree(Join(temp, e.name));
    } catch (...) {
        // Tried again at the next start.
    }
}

void RecoverAddonInstallIn(const std::string& programFolder) {
    const std::string down = programFolder + "down" + kSep;
    RecoverAddonInstall(programFolder + "Interface" + kSep + "AddOns", down, down + "temp" + kSep);
}

} // namespace tw
