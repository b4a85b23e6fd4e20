#include "folder.h"

#include "publish.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace fs = std::filesystem;
using nlohmann::json;

namespace tws {

std::string FileMd5Hex(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr);
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        if (in.gcount() > 0)
            EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<std::size_t>(in.gcount()));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &len);
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

std::string UrlPathEncode(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

int CompareVersions(const std::string& a, const std::string& b) {
    auto parts = [](const std::string& v) {
        std::vector<long> out;
        std::stringstream s(v);
        std::string p;
        while (std::getline(s, p, '.'))
            out.push_back(std::strtol(p.c_str(), nullptr, 10));
        return out;
    };
    auto x = parts(a), y = parts(b);
    std::size_t n = std::max(x.size(), y.size());
    x.resize(n);
    y.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        if (x[i] != y[i])
            return x[i] < y[i] ? -1 : 1;
    return 0;
}

ServerFolder::ServerFolder(std::string root) : root_(std::move(root)) {
    if (!root_.empty() && root_.back() != '/')
        root_ += '/';
}

json ServerFolder::Settings() const {
    std::ifstream in(root_ + "service.json");
    if (!in)
        return json::object();
    json j = json::parse(in, nullptr, false);
    return j.is_object() ? j : json::object();
}

bool ServerFolder::Load(const std::function<void(const std::string&)>& stale) {
    std::uint64_t size = 0;
    std::int64_t time = 0;
    const std::string path = root_ + kPublishedFile;
    {
        std::lock_guard lock(mutex_);
        if (!Stamp(path, size, time))
            return published_ != nullptr;
        if (published_ && size == loadedSize_ && time == loadedTime_)
            return true;
    }
    std::ifstream in(path);
    auto state = std::make_shared<json>(json::parse(in, nullptr, false));
    if (!state->is_object()) {
        std::lock_guard lock(mutex_);
        return published_ != nullptr;
    }
    std::map<std::string, std::pair<std::uint64_t, std::int64_t>> stamps;
    auto note = [&](const std::string& rel, const json& e) {
        stamps[rel] = {e.value("size", std::uint64_t{0}), e.value("time", std::int64_t{0})};
    };
    for (const char* section : {"client", "patches"})
        for (const auto& e : state->value(section, json::array()))
            note(std::string(section) + "/" + e.value("path", ""), e);
    for (const auto& e : state->value("addons", json::array()))
        note(e.value("file", ""), e);
    if (state->contains("update") && (*state)["update"].is_object())
        note((*state)["update"].value("file", ""), (*state)["update"]);
    if (stale)
        for (const auto& [rel, stamp] : stamps) {
            std::uint64_t s = 0;
            std::int64_t t = 0;
            if (!Stamp(root_ + rel, s, t) || s != stamp.first || t != stamp.second)
                stale(rel);
        }
    std::map<std::string, Reply> signedAnswers;
    if (state->contains("signed") && (*state)["signed"].is_object())
        for (const auto& [key, answer] : (*state)["signed"].items())
            if (answer.is_object() && answer.value("body", json()).is_string())
                signedAnswers[key] = {
                    200,
                    std::make_shared<const std::string>(answer["body"].get<std::string>()),
                    {answer.value("signature", ""), answer.value("serial", ""), answer.value("expires", "")}};
    std::lock_guard lock(mutex_);
    published_ = state;
    loadedSize_ = size;
    loadedTime_ = time;
    stamps_ = std::move(stamps);
    signed_ = std::move(signedAnswers);
    cache_.clear();
    return true;
}

bool ServerFolder::IsStale(const std::string& rel) {
    std::pair<std::uint64_t, std::int64_t> stamp;
    {
        std::lock_guard lock(mutex_);
        auto it = stamps_.find(rel);
        if (it == stamps_.end())
            return false;
        stamp = it->second;
    }
    std::uint64_t s = 0;
    std::int64_t t = 0;
    return !Stamp(root_ + rel, s, t) || s != stamp.first || t != stamp.second;
}

std::uint64_t ServerFolder::Serial() {
    Load();
    std::lock_guard lock(mutex_);
    if (!published_)
        return 0;
    const json serial = published_->value("serial", json());
    return serial.is_number_unsigned() ? serial.get<std::uint64_t>() : 0;
}

std::int64_t ServerFolder::SignedUntil() {
    Load();
    std::lock_guard lock(mutex_);
    std::int64_t until = 0;
    for (const auto& [key, reply] : signed_) {
        const std::int64_t expires = std::atoll(reply.signedAs.expires.c_str());
        if (expires > 0 && (until == 0 || expires < until))
            until = expires;
    }
    return until;
}

namespace {

// The file's size in bytes, as published. State published before sizes were kept has none, and
// the answer then names none (a launcher with a key refuses such a list: publish again).
void AddSize(json& answer, const json& published) {
    const auto size = published.find("size");
    if (size != published.end() && size->is_number_unsigned())
        answer["size"] = *size;
}

} // namespace

ServerFolder::Reply ServerFolder::Render(const json& published, const json& settings, const std::string& action,
                                         const std::string& version, const std::string& base) {
    auto text = [](const json& j) {
        return std::make_shared<const std::string>(j.dump(-1, ' ', false, json::error_handler_t::replace));
    };
    if (action == "gethomepageurl")
        return {200, text({{"data", settings.value("homepage", base + "/home/index.html")}}), {}};
    if (action == "getwowhost")
        return {200, text({{"data", settings.value("wowhost", "127.0.0.1")}}), {}};
    if (action == "getupdate") {
        const json update = published.value("update", json());
        if (!update.is_object() || CompareVersions(version, update.value("version", "0")) >= 0)
            return {200, text({{"url", ""}}), {}};
        json answer = {{"url", base + "/files/" + UrlPathEncode(update.value("file", ""))},
                       {"version", update.value("version", "0")},
                       {"filename", update.value("filename", "")},
                       {"MD5", update.value("md5", "")}};
        if (update.contains("paramstr"))
            answer["paramstr"] = update["paramstr"];
        AddSize(answer, update);
        return {200, text(answer), {}};
    }
    if (action == "addons") {
        json list = json::array();
        for (const auto& a : published.value("addons", json::array())) {
            list.push_back({{"url", base + "/files/" + UrlPathEncode(a.value("file", ""))},
                            {"name", a.value("name", "")},
                            {"md5", a.value("md5", "")},
                            {"id", a.value("id", json(0))},
                            {"type", a.value("type", json(0))},
                            {"title", a.value("title", "")}});
            AddSize(list.back(), a);
        }
        return {200, text(list), {}};
    }
    if (action == "getWowFiles" || action == "getPatches") {
        const std::string sub = action == "getWowFiles" ? "client" : "patches";
        json list = json::array();
        for (const auto& e : published.value(sub, json::array())) {
            const std::string path = e.value("path", "");
            list.push_back({{"url", base + "/files/" + sub + "/" + UrlPathEncode(path)},
                            {"filename", path},
                            {"MD5", e.value("md5", "")}});
            AddSize(list.back(), e);
        }
        return {200, text({{"count", list.size()}, {"downlist", list}}), {}};
    }
    return {404, text({{"error", "unknown action"}, {"a", action}}), {}};
}

std::string ServerFolder::SignedKey(const std::string& action, const std::string& version, const json& published) {
    if (action != "getupdate")
        return action;
    const json update = published.value("update", json());
    const bool offered = update.is_object() && CompareVersions(version, update.value("version", "0")) < 0;
    return offered ? "getupdate offered" : "getupdate none";
}

ServerFolder::Reply ServerFolder::Answer(const std::string& action, const std::string& version,
                                         const std::string& base) {
    const bool needsState =
        action == "getupdate" || action == "getWowFiles" || action == "getPatches" || action == "addons";
    const bool known = needsState || action == "gethomepageurl" || action == "getwowhost";
    Load();
    std::shared_ptr<const json> published;
    {
        std::lock_guard lock(mutex_);
        published = published_;
    }
    // Answers signed when they were published are handed out as they were signed.
    if (known && published) {
        std::lock_guard lock(mutex_);
        if (auto hit = signed_.find(SignedKey(action, version, *published)); hit != signed_.end())
            return hit->second;
    }
    if (!needsState)
        return Render(json::object(), Settings(), action, version, base);
    {
        std::lock_guard lock(mutex_);
        if (auto hit = cache_.find(action + ' ' + base); action != "getupdate" && hit != cache_.end())
            return {200, hit->second, {}};
    }
    if (!published)
        return {503,
                std::make_shared<const std::string>(
                    json({{"error", "nothing is published yet: run tarnwick_service publish --root FOLDER"}}).dump()),
                {}};
    Reply reply = Render(*published, Settings(), action, version, base);
    if (action != "getupdate") {
        std::lock_guard lock(mutex_);
        if (published == published_ && cache_.size() < 64)
            cache_[action + ' ' + base] = reply.body;
    }
    return reply;
}

const std::vector<std::string>& ServerFolder::ContentFolders() {
    static const std::vector<std::string> folders{"home", "client", "patches", "update", "addons"};
    return folders;
}

std::string ServerFolder::ContentFile(const std::string& rel) const {
    const fs::path p(rel);
    if (rel.empty() || !p.is_relative() || rel.find('\0') != std::string::npos)
        return {};
    for (const auto& part : p)
        if (part == ".." || part == ".")
            return {};
    const std::string top = p.begin()->string();
    const auto& folders = ContentFolders();
    if (std::find(folders.begin(), folders.end(), top) == folders.end())
        return {};
    std::error_code ec;
    const fs::path base = fs::canonical(fs::path(root_) / top, ec);
    if (ec)
        return {};
    const fs::path real = fs::canonical(fs::path(root_) / p, ec);
    if (ec || !fs::is_regular_file(real, ec))
        return {};
    const std::string b = base.string() + '/', r = real.string();
    if (r.compare(0, b.size(), b) != 0)
        return {};
    return r;
}

ServerFolder::Reply ServerFolder::SignedAria2Conf() {
    Load();
    {
        std::lock_guard lock(mutex_);
        if (auto hit = signed_.find("aria2.conf"); hit != signed_.end())
            return hit->second;
    }
    return {200, std::make_shared<const std::string>(Aria2Conf()), {}};
}

std::string ServerFolder::Aria2Conf() const {
    std::ifstream in(root_ + "aria2.conf", std::ios::binary);
    if (in) {
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    return "enable-rpc=true\n"
           "rpc-listen-port=58012\n"
           "input-file=d.lst\n"
           "dir=.\n"
           "continue=true\n"
           "auto-file-renaming=false\n"
           "file-allocation=none\n"
           "auto-save-interval=5\n";
}

} // namespace tws
