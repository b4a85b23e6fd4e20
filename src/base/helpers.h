#pragma once
// Stateless file, process and digest helpers used by every subsystem. All of them may run on any
// thread at the same time. Paths are UTF-8; folder paths they return end in the native separator.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tw {

using Md5Digest = std::array<std::uint8_t, 16>;
// Called with (file size, bytes digested so far) on the thread that called FileMd5.
using Md5ProgressHandler = std::function<void(std::uint64_t size, std::uint64_t done)>;

// FileMd5 reports progress only for files larger than kMd5MappedLimit, once per kMd5BlockSize
// bytes; it reads kMd5ReadSize bytes at a time into one buffer per thread.
inline constexpr std::uint64_t kMd5MappedLimit = 536'870'912;
inline constexpr std::size_t kMd5BlockSize = 4'194'304;
inline constexpr std::size_t kMd5ReadSize = 262'144;
// A command line given to StartProgram is cut after this many characters.
inline constexpr std::size_t kCommandLineLimit = 512;

// Show-window commands for StartProgram (the Windows values).
inline constexpr int kShowHidden = 0;
inline constexpr int kShowNormal = 1;

// Folder of the running executable, with a trailing separator.
std::string ProgramFolder();

// Text up to and including the last '/', '\\' or ':'; empty when there is none.
std::string FolderPart(std::string_view path);
// Text after the last '/', '\\' or ':'; the whole path when there is none.
std::string FilePart(std::string_view path);
// Every '/' replaced by '\\' (the Windows form of a path); nothing else changes.
std::string ToBackslashes(std::string_view path);
// Every '/' and '\\' replaced by this system's separator.
std::string ToNativeSeparators(std::string_view path);

// True when the folder exists afterwards; missing parents are created from the top down.
// An empty path or a bare name without separator gives false.
bool EnsureFolder(const std::string& path);

// Deletes a folder with everything in it, read-only and hidden entries included. A link inside
// the tree is removed as a link; its target is never touched. A missing folder gives true.
// The walk never stops early; the result is the success of the last step.
bool RemoveFolderTree(const std::string& path);

// Runs an executable file with `parameters` (split as a Windows command line), or hands any
// other file to the desktop. Nothing is awaited or reported.
void ShellOpen(const std::string& file, const std::string& parameters);
// Opens a URL or document with the desktop's default program.
void OpenLink(const std::string& target);

// Starts the program named by the first token of `commandLine` (cut after kCommandLineLimit
// characters). An unquoted first token with blanks is resolved as Windows does: the shortest
// blank-separated prefix that names an existing file. A Windows executable is run through wine
// when wine is on PATH. True when the process was created; it is never awaited.
bool StartProgram(const std::string& commandLine, int showCommand);

// Ends every other process whose executable file name, lower-cased (ASCII letters only),
// contains `name` lower-cased. Reports nothing and does not wait.
void EndProcessesNamed(const std::string& name);

// "major.minor.release.build" of a file: the build's own version for the running executable,
// "0.0.0.0" for anything else.
std::string FileVersionText(const std::string& path);

// True when `offered` is a later version than `own`: both dotted whole decimal numbers
// ("2.0.10.220"), compared part by part, a missing part counting 0. False when `offered` is
// anything else (a blank, a letter, an empty part, a part beyond 9 digits).
bool IsNewerVersion(const std::string& offered, const std::string& own);

// MD5 of a file's content, read in blocks at every size. A missing or unopenable file gives the
// digest of empty input; a read that fails raises tw::Error; a file that shrinks while it is read
// gives the digest of what was read. The handler is called only for files larger than
// kMd5MappedLimit, after every kMd5BlockSize bytes, the last call with both counts equal.
Md5Digest FileMd5(const std::string& path, const Md5ProgressHandler& handler = {});
// The digest as 32 upper-case hexadecimal characters.
std::string Md5Hex(const Md5Digest& digest);

} // namespace tw
