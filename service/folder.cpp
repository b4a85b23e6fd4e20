#include "folder.h"

#include <openssl/evp.h>

#include <algorithm>
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

std::vector<ServerFolder::Entry> ServerFolder::List(const std::string& sub) {
    std::lock_guard lock(listMutex_);
    std::vector<Entry> out;
    fs::path folder = fs::path(root_) / sub;
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        return out;

    const std::string cachePath = root_ + sub + ".md5.json";
    json cache = json::object();
    if (std::ifstream in(cachePath); in) {
        cache = json::parse(in, nullptr, false);
        if (!cache.is_object())
            cache = json::object();
    }
    bool changed = false;
    std::vector<std::string> paths;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_regular_file(ec))
            paths.push_back(fs::relative(it->path(), folder, ec).generic_string());
    }
    std::sort(paths.begin(), paths.end());
    for (const auto& rel : paths) {
        fs::path full = folder / rel;
        auto size = static_cast<std::uint64_t>(fs::file_size(full, ec));
        auto stamp = static_cast<std::int64_t>(fs::last_write_time(full, ec).time_since_epoch().count());
        const json* hit = cache.contains(rel) ? &cache[rel] : nullptr;
        std::string md5;
        if (hit && hit->value("size", std::uint64_t{0}) == size && hit->value("time", std::int64_t{0}) == stamp) {
            md5 = hit->value("md5", "");
        } else {
            md5 = FileMd5Hex(full.string());
            cache[rel] = {{"size", size}, {"time", stamp}, {"md5", md5}};
            changed = true;
        }
        out.push_back({rel, md5});
    }
    if (changed) {
        std::ofstream cacheOut(cachePath + ".tmp", std::ios::trunc);
        cacheOut << cache.dump(1);
        cacheOut.close();
        fs::rename(cachePath + ".tmp", cachePath, ec);
    }
    return out;
}

json ServerFolder::Answer(const std::string& action, const std::string& version, const std::string& base) {
    json settings = Settings();
    if (action == "gethomepageurl")
        return {{"data", settings.value("homepage", base + "/home/index.html")}};
    if (action == "getwowhost")
        return {{"data", settings.value("wowhost", "127.0.0.1")}};
    if (action == "getupdate") {
        json update = settings.value("update", json::object());
        std::string file = update.value("file", "");
        if (file.empty() || CompareVersions(version, update.value("version", "0")) >= 0)
            return {{"url", ""}};
        json answer = {{"url", base + "/files/" + UrlPathEncode(file)},
                       {"filename", update.value("filename", fs::path(file).filename().string())},
                       {"MD5", update.value("md5", FileMd5Hex(root_ + file))}};
        if (update.contains("paramstr"))
            answer["paramstr"] = update["paramstr"];
        return answer;
    }
    if (action == "getWowFiles" || action == "getPatches") {
        const std::string sub = action == "getWowFiles" ? "client" : "patches";
        json list = json::array();
        for (const auto& e : List(sub))
            list.push_back(
                {{"url", base + "/files/" + sub + "/" + UrlPathEncode(e.path)}, {"filename", e.path}, {"MD5", e.md5}});
        return {{"count", list.size()}, {"downlist", list}};
    }
    return nullptr;
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
