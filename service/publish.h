#pragma once
// The published state of a server folder: every digest the service hands out, computed once by
// `tarnwick_service publish` and kept in <root>/published.json, beside the content.
//
//   {"client":  [{"path", "size", "time", "md5"}, ...],     the files below client/, sorted
//    "patches": [...],                                       the same below patches/
//    "update":  {"version", "file", "filename", "paramstr", "md5", "size", "time"} or null,
//    "addons":  [{"file", "name", "id", "type", "title", "md5", "size", "time"}, ...],
//    "serial":  N,                                           grows with every publish
//    "signed":  {"gethomepageurl": {"body", "signature", "serial", "expires"}, ...}}   only with a key
//
// "signed" holds, when a signing key was given, every answer the service hands out, made for
// the "public_url" of service.json and signed: the five actions ("getupdate offered" for
// launchers older than the update, "getupdate none" for the others), "addons" and "aria2.conf".
// The service then hands those out as they are, and needs no key of its own. They hold until
// "expires" (publish time plus the lifetime): publish again before that.
//
// "serial" is one more than the last publish's, or the publish time in Unix seconds when that is
// larger: a published.json lost or restored from a backup never makes it go back.
//
// "time" is the file's modification time as the file system gives it (nanoseconds); a file whose
// size and time are unchanged keeps its digest on the next publish. The file is written under a
// temporary name and renamed, so a publish that dies leaves the previous state whole.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tws {

class Signer;

inline constexpr char kPublishedFile[] = "published.json";

struct PublishReport {
    bool ok = false;
    std::vector<std::string> refused; // names a launcher would refuse, each with the reason
    std::size_t files = 0, digested = 0, reused = 0;
    std::uint64_t bytes = 0;
};

// Publishes `root` (ending in '/'). `progress`, when given, is called now and then with the
// files and bytes digested so far and the totals. Refused names leave the published state as it
// was. Not `strict` (the tests' server only, which must be able to hand out hostile names):
// every name is published as it is, and a missing file without a digest. With a `signer`, the
// answers are signed too, to hold for `lifetime` seconds; that needs "public_url" in service.json.
PublishReport Publish(const std::string& root,
                      const std::function<void(std::size_t, std::size_t, std::uint64_t, std::uint64_t)>& progress = {},
                      bool strict = true, const Signer* signer = nullptr, std::int64_t lifetime = 0);

// Why a name that came from the server folder would be refused by a launcher; empty when it is fine.
std::string NameProblem(const std::string& name);

// Size and time of a file as publish records them; false when it cannot be read.
bool Stamp(const std::string& path, std::uint64_t& size, std::int64_t& time);

} // namespace tws
