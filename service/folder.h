#pragma once
// The server folder of the reference launcher service: what it answers comes from files here.
//
//   service.json      settings (all optional): "homepage" (absolute URL, else <base>/home/index.html),
//                     "wowhost", "public_url" (base of every URL handed out, else from the Host
//                     header), "update": {"version", "file", "filename", "paramstr", "md5"},
//                     "addons": [{"file", "name", "id", "type"}]
//   home/             the home page and what it loads
//   published.json    the published state: every digest handed out (publish.h)
//   client/           the game client, listed by getWowFiles
//   patches/          patch files by their path in the game folder, listed by getPatches
//   update/, addons/  the update program and add-on archives
//   aria2.conf        served at /apps/w02/aria2.conf (a working default when missing)
#include "signing.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
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

    // What an action answers, from the published state (publish.h) and service.json:
    // 200 and the JSON text, 404 for an unknown action, 503 while nothing is published. `base` is
    // the URL prefix of the files (no trailing '/'). "addons" is the add-on list. When the state
    // was published signed, the answers are the signed ones, with their signature.
    // The body is shared, not copied: a client list of many thousand entries is megabytes, and
    // every launcher asks for it.
    struct Reply {
        int status = 200;
        std::shared_ptr<const std::string> body;
        AnswerStamp signedAs; // set for an answer signed when it was published
    };
    Reply Answer(const std::string& action, const std::string& version, const std::string& base);
    // The answer text itself, from a published state and the settings.
    static Reply Render(const nlohmann::json& published, const nlohmann::json& settings, const std::string& action,
                        const std::string& version, const std::string& base);
    // Where the signed answer to `action` lies in the published state's "signed" member.
    static std::string SignedKey(const std::string& action, const std::string& version,
                                 const nlohmann::json& published);

    // Re-reads the published state when it changed on disk; false while there is none. Each file
    // that changed since it was published is passed to `stale` (its path below the root).
    bool Load(const std::function<void(const std::string&)>& stale = {});
    // True when `rel` (below the root) was published with another size or time than it has now.
    bool IsStale(const std::string& rel);
    // The serial of the published state (it grows with every publish); 0 while there is none.
    std::uint64_t Serial();
    // When the first of the answers signed at publish time expires (Unix seconds); 0 for none.
    std::int64_t SignedUntil();

    std::string Aria2Conf() const;
    // aria2.conf as published signed, or as it is now (unsigned) when the state is not signed.
    Reply SignedAria2Conf();

    // The folders whose files are served; nothing else below the root ever is.
    static const std::vector<std::string>& ContentFolders();
    // The file that a relative path names when it lies inside a content folder, also after every
    // symbolic link is followed; empty otherwise (settings, digests, keys, logs, "..", links out).
    std::string ContentFile(const std::string& rel) const;

private:
    std::string root_;
    std::mutex mutex_;
    std::shared_ptr<const nlohmann::json> published_; // null while nothing is published
    std::uint64_t loadedSize_ = 0;
    std::int64_t loadedTime_ = 0;
    std::map<std::string, std::pair<std::uint64_t, std::int64_t>> stamps_; // published size, time
    std::map<std::string, std::shared_ptr<const std::string>> cache_;      // action + base: answer text
    std::map<std::string, Reply> signed_;                                  // the answers published signed, by SignedKey
};

} // namespace tws
