#pragma once
// Checking a list of files against their expected digests on several cores, with the outcome and
// the reports of a check made one file after the other: files are judged, deleted and reported
// strictly in list order, on the calling thread; only the digesting runs ahead on other threads.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tw {

struct FileCheckEntry {
    std::string path;     // native path of the file
    std::string expected; // the digest text it must have (compared exactly, as Md5Hex writes it)
};

struct FileCheckReport {
    bool allPassed = true;           // no file was missing or wrong
    std::vector<std::size_t> failed; // indices of missing or wrong files, in list order
};

// Called on the calling thread, for one file at a time in list order, with the progress that
// FileMd5 reports for it (large files only): (index, file size, bytes digested so far).
using FileCheckProgress = std::function<void(std::size_t index, std::uint64_t size, std::uint64_t done)>;

// The digest text of entry `index` when it is already known for the file as it is now (it is
// then not read again); empty when it has to be digested. Asked on the digesting threads, in
// turn with the reading (largest first), so it may take its time, or read the file itself.
using KnownDigest = std::function<std::optional<std::string>(std::size_t index)>;

// For every entry in order: a missing file fails; a file whose digest differs fails and is
// deleted. A digest error (FileMd5 raising) is raised when its entry's turn comes, after every
// earlier entry was handled, as a one-by-one check would. `threads` 0 means one per core. A file
// whose digest `known` gives gets the progress reports that digesting it would have given.
FileCheckReport CheckFilesInOrder(const std::vector<FileCheckEntry>& entries, const FileCheckProgress& progress,
                                  unsigned threads = 0, const KnownDigest& known = {});

} // namespace tw
