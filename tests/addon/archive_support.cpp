#include "archive_support.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

namespace fs = std::filesystem;

namespace tw::test {

namespace {

// A path below `folder`, relative, UTF-8, with '/' between the names.
std::string RelativeName(const fs::path& path, const fs::path& folder) {
    const std::u8string text = fs::relative(path, folder).generic_u8string();
    return std::string(text.begin(), text.end());
}

} // namespace

void MakePythonZip(const std::string& zip, const std::string& body, const std::string& after, bool streamed) {
    const std::string script = zip + ".py";
    WriteBytes(script, std::string("import struct, sys, zipfile, zlib\n"
                                   "class Unseekable:\n"
                                   "    def __init__(self, f): self.f = f\n"
                                   "    def write(self, b): return self.f.write(b)\n"
                                   "    def flush(self): self.f.flush()\n"
                                   "    def close(self): self.f.close()\n"
                                   "out = open(sys.argv[1], 'wb')\n"
                                   "z = zipfile.ZipFile(") +
                           (streamed ? "Unseekable(out)" : "out") +
                           ", 'w')\n"
                           "class RawName(zipfile.ZipInfo):\n"
                           "    def _encodeFilenameFlags(self):\n"
                           "        return self.stored, self.flag_bits | (0x800 if self.utf8 else 0)\n"
                           "def raw(stored, data, utf8=False, system=0, unicode_path=None):\n"
                           "    if isinstance(stored, str): stored = stored.encode('gbk')\n"
                           "    info = RawName(stored.decode('latin-1'), (2020, 1, 1, 0, 0, 0))\n"
                           "    info.stored, info.utf8, info.create_system = stored, utf8, system\n"
                           "    if unicode_path is not None:\n"
                           "        field = b'\\x01' + struct.pack('<I', zlib.crc32(stored)) + unicode_path.encode()\n"
                           "        info.extra = struct.pack('<HH', 0x7075, len(field)) + field\n"
                           "    if isinstance(data, str): data = data.encode('utf-8')\n"
                           "    z.writestr(info, data, zipfile.ZIP_DEFLATED)\n"
                           "def add(name, data, deflate=True):\n"
                           "    if isinstance(data, str): data = data.encode('utf-8')\n"
                           "    info = zipfile.ZipInfo(name, (2020, 1, 1, 0, 0, 0))\n"
                           "    info.external_attr = 0o644 << 16\n"
                           "    z.writestr(info, data, zipfile.ZIP_DEFLATED if deflate else zipfile.ZIP_STORED)\n"
                           "def folder(name):\n"
                           "    info = zipfile.ZipInfo(name, (2020, 1, 1, 0, 0, 0))\n"
                           "    info.external_attr = (0o40755 << 16) | 0x10\n"
                           "    z.writestr(info, b'')\n" +
                           body + "\nz.close()\nout.close()\n" + after);
    ASSERT_EQ(RunHost({"/usr/bin/python3", HostPath(script), HostPath(zip)}), 0) << body;
    fs::remove(FsPath(script));
}

std::vector<std::string> ListTree(const std::string& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    const fs::path base = FsPath(folder);
    if (!fs::exists(base, ec))
        return out;
    for (auto it = fs::recursive_directory_iterator(base, ec); it != fs::recursive_directory_iterator(); ++it) {
        std::string rel = RelativeName(it->path(), base);
        if (it->is_directory() && !it->is_symlink())
            rel += '/';
        out.push_back(rel);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::map<std::string, std::string> FilesBelow(const std::string& folder) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    const fs::path base = FsPath(folder);
    for (auto it = fs::recursive_directory_iterator(base, ec); it != fs::recursive_directory_iterator(); ++it) {
        if (!it->is_regular_file())
            continue;
        std::string rel = RelativeName(it->path(), base);
        std::replace(rel.begin(), rel.end(), '\\', '/');
        files[rel] = ReadBytes(Utf8Of(it->path()));
    }
    return files;
}

std::vector<std::string> ListingOf(const std::map<std::string, std::string>& files) {
    std::set<std::string> listing;
    for (const auto& [path, bytes] : files) {
        listing.insert(path);
        for (auto sep = path.find('/'); sep != std::string::npos; sep = path.find('/', sep + 1))
            listing.insert(path.substr(0, sep + 1));
    }
    std::vector<std::string> sorted(listing.begin(), listing.end());
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

std::string Content(std::size_t size, int seed) {
    std::string s(size, '\0');
    std::uint32_t x = 2463534242u + static_cast<std::uint32_t>(seed) * 7919u;
    for (auto& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>('a' + x % 26); // compressible, but not trivially
    }
    return s;
}

} // namespace tw::test
