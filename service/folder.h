#pragma once
// The server folder of the reference launcher service: what it answers comes from files here.
//
//   service.json      settings (all optional): "homepage" (absolute URL, else <base>/home/index.html),
//                     "wowhost", "public_url" (base of every URL handed out, else from the Host
//                     header), "update": {"version", "file", "filename", "paramstr", "md5"},
//                     "addons": [{"file", "name", "id", "type"}]
//   home/             the home page and what it loads
//   client/           the game client, listed by getWowFiles (digests cached in client.md5.json)
//   patches/          patch files by their path in the game folder, listed by getPatches
//   update/, addons/  the update program and add-on archives
//   aria2.conf        served at /apps/w02/aria2.conf (a working default when missing)
#include <nlohmann/json.hpp>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace tws {

// MD5 of a file as 32 upper-case hexadecimal digits; empty when it cannot be read.
std::string FileMd5Hex(const std::string& path);

// Percent-encodes one path for use in a URL ('/' kept).
std::string UrlPathEncode(const std::string& path);

// Compares dotted version texts numerically ("2.0.10.219" < "2.0.10.220"); missing parts are 0.
int CompareVersions(const std::string& a, const std::string& b);

class ServerFolder {
public:
    explicit ServerFolder(std::string root);
    const std::string& Root() const { return root_; }

    nlohmann::json Settings() const; // service.json, re-read each time; {} when missing or broken

    // Files below `sub` (relative paths with '/', sorted), each with its digest. Digests are
    // cached in <sub>.md5.json beside the folder and recomputed when size or time changes.
    struct Entry {
        std::string path;
        std::string md5;
    };
    std::vector<Entry> List(const std::string& sub);

    // The answer of one service action; `base` is the URL prefix of the files (no trailing '/').
    nlohmann::json Answer(const std::string& action, const std::string& version, const std::string& base);

    std::string Aria2Conf() const;

private:
    std::string root_;
    std::mutex listMutex_;
};

} // namespace tws
