#pragma once
// Archives for the add-on tests, made with the tools a publisher would use: Python's zipfile and
// the 7z command.
#include <map>
#include <string>
#include <vector>

namespace tw::test {

// Runs a Python body that adds members to a new ZIP file at `zip`. The body may call
//   add(name, data, deflate=True)   a file member (data: bytes or str)
//   folder(name)                    a folder member (name ends in '/')
//   raw(stored, data, utf8=False, system=0, unicode_path=None)
//                                   a file member whose name is stored as given (bytes; a str is
//                                   stored in GBK) with the UTF-8 flag only when asked, made on
//                                   `system` (0 Windows, 3 Unix), with a Unicode path field
// and use `z` (the zipfile.ZipFile) directly. `after` runs once the file is closed (to damage it).
// A streamed archive is written as to a pipe: every member with a data descriptor.
void MakePythonZip(const std::string& zip, const std::string& body, const std::string& after = "",
                   bool streamed = false);

// Every file and folder below `folder`, relative, folders with a trailing '/', sorted.
std::vector<std::string> ListTree(const std::string& folder);

// Every file below `folder`, relative path to contents. A backslash inside a name counts as a
// separator, as it does for the archive reader (7z x on this system keeps it in the name).
std::map<std::string, std::string> FilesBelow(const std::string& folder);

// What ListTree shows for a folder that holds exactly `files` and their parent folders.
std::vector<std::string> ListingOf(const std::map<std::string, std::string>& files);

// Patterned content of a given size, different for each seed.
std::string Content(std::size_t size, int seed);

} // namespace tw::test
