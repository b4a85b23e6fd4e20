#pragma once
// Archives for the add-on tests, made with the tools a publisher would use: Python's zipfile and
// the 7z command.
#include <string>
#include <vector>

namespace tw::test {

// Runs a Python body that adds members to a new ZIP file at `zip`. The body may call
//   add(name, data, deflate=True)   a file member (data: bytes or str)
//   folder(name)                    a folder member (name ends in '/')
// and use `z` (the zipfile.ZipFile) directly. `after` runs once the file is closed (to damage it).
void MakePythonZip(const std::string& zip, const std::string& body, const std::string& after = "");

// Every file and folder below `folder`, relative, folders with a trailing '/', sorted.
std::vector<std::string> ListTree(const std::string& folder);

// Patterned content of a given size, different for each seed.
std::string Content(std::size_t size, int seed);

} // namespace tw::test
