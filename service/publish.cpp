#include "publish.h"

#include "folder.h"
#include "signing.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;
using nlohmann::json;

namespace tws {

std::string NameProblem(const std::string& name) {
    if (name.empty())
        return "an empty name";
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f)
            return "a control character in the name";
    if (name[0] == '/' || name[0] == '\\')
        return "an absolute path";
    if (name.find(':') != std::string::npos)
        return "a colon in the name";
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = name.find_first_of("/\\", start);
        const std::string part = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part == "..")
            return "a \"..\" in the path";
        if (part.empty() && end == std::string::npos)
            return "a path that ends in a separator";
        if (end == std::string::npos)
            return {};
        start = end + 1;
    }
}

bool Stamp(const std::string& path, std::uint64_t& size, std::int64_t& time) {
    std::error_code ec;
    size = static_cast<std::uint64_t>(fs::file_size(path, ec));
    if (ec)
        return false;
    time = static_cast<std::int64_t>(fs::last_write_time(path, ec).time_since_epoch().count());
    return !ec;
}

namespace {

// One file to publish: where it is, and what is known of it.
struct Job {
    std::string key;  // path below the root, '/'-separated
    std::string full; // path on disk
    std::uint64_t size = 0;
    std::int64_t time = 0;
    std::string md5;
    bool given = false; // the digest was given in service.json
};

// A name as the messages show it: in quotes, control characters escaped.
std::string Quoted(const std::string& name) {
    return json(name).dump(-1, ' ', true, json::error_handler_t::replace);
}

json ReadJson(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        return json::object();
    json j = json::parse(in, nullptr, false);
    return j.is_object() ? j : json::object();
}

// The regular files below root/sub, or names refused.
void Walk(const std::string& root, const std::string& sub, bool strict, std::vector<Job>& jobs,
          std::vector<std::string>& refused) {
    const fs::path folder = fs::path(root) / sub;
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        return;
    const fs::path real = fs::canonical(folder, ec);
    const std::string inside = real.string() + '/';
    std::vector<std::string> keys;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const std::string rel = it->path().lexically_relative(folder).generic_string();
        const std::string key = sub + "/" + rel;
        if (std::string problem = NameProblem(rel); strict && !problem.empty()) {
            refused.push_back(Quoted(key) + ": " + problem);
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_symlink(ec)) {
            const fs::path target = fs::canonical(it->path(), ec);
            if (strict && (ec || target.string().compare(0, inside.size(), inside) != 0)) {
                refused.push_back(Quoted(key) + ": a symbolic link that leads out of " + sub + "/");
                ec.clear();
                continue;
            }
            if (!fs::is_regular_file(target, ec)) {
                refused.push_back(Quoted(key) + ": a symbolic link to a folder");
                continue;
            }
            keys.push_back(key);
        } else if (it->is_regular_file(ec)) {
            keys.push_back(key);
        } else if (!it->is_directory(ec)) {
            refused.push_back(Quoted(key) + ": not a regular file");
        }
    }
    std::sort(keys.begin(), keys.end());
    for (auto& k : keys)
        jobs.push_back(Job{k, root + k, 0, 0, {}, false});
}

bool WriteAtomically(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    const bool ok = done == text.size() && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    // The rename itself survives a power cut only once the folder is on disk too.
    const std::string parent = path.substr(0, path.find_last_of('/') + 1);
    if (int dir = ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

} // namespace

PublishReport Publish(const std::string& root,
                      const std::function<void(std::size_t, std::size_t, std::uint64_t, std::uint64_t)>& progress,
                      bool strict, const Signer* signer, std::int64_t lifetime) {
    PublishReport report;
    ServerFolder folder(root);
    const json settings = folder.Settings();
    const std::string publicUrl = settings.value("public_url", "");
    if (signer && publicUrl.empty())
        report.refused.push_back("the signing key: service.json names no \"public_url\", and signed answers must "
                                 "name the address the files are fetched from");

    std::vector<Job> client, patches;
    Walk(folder.Root(), "client", strict, client, report.refused);
    Walk(folder.Root(), "patches", strict, patches, report.refused);

    // The update program and the add-ons are named in service.json; each must be a served file.
    auto named = [&](const std::string& what, const std::string& file, std::vector<Job>& into) {
        if (!strict) {
            into.push_back(Job{file, folder.Root() + file, 0, 0, {}, false});
            return true;
        }
        if (std::string problem = NameProblem(file); !problem.empty()) {
            report.refused.push_back(what + " " + Quoted(file) + ": " + problem);
            return false;
        }
        std::string full = folder.ContentFile(file);
        if (full.empty()) {
            report.refused.push_back(what + " " + Quoted(file) +
                                     ": not a file inside home/, client/, patches/, update/ or addons/");
            return false;
        }
        into.push_back(Job{file, full, 0, 0, {}, false});
        return true;
    };
    std::vector<Job> update, addons;
    const json updateSettings = settings.value("update", json::object());
    if (const std::string file = updateSettings.value("file", ""); !file.empty()) {
        if (named("update", file, update)) {
            std::string filename = updateSettings.value("filename", fs::path(file).filename().string());
            if (std::string problem = NameProblem(filename);
                strict && (!problem.empty() || filename.find_first_of("/\\") != std::string::npos))
                report.refused.push_back("update filename " + Quoted(filename) + ": " +
                                         (problem.empty() ? "not a plain file name" : problem));
            if (updateSettings.contains("md5") && updateSettings["md5"].is_string()) {
                update.back().md5 = updateSettings["md5"].get<std::string>();
                update.back().given = true;
            }
        }
    }
    for (const auto& a : settings.value("addons", json::array()))
        named("add-on", a.is_object() ? a.value("file", "") : "", addons);
    if (!report.refused.empty())
        return report;

    // Digests already published are kept while size and time are unchanged.
    std::map<std::string, json> previous;
    const json old = ReadJson(folder.Root() + kPublishedFile);
    for (const char* section : {"client", "patches"})
        for (const auto& e : old.value(section, json::array()))
            if (e.is_object())
                previous[std::string(section) + "/" + e.value("path", "")] = e;
    for (const auto& e : old.value("addons", json::array()))
        if (e.is_object())
            previous[e.value("file", "")] = e;
    if (old.contains("update") && old["update"].is_object())
        previous[old["update"].value("file", "")] = old["update"];

    std::vector<Job*> todo;
    std::uint64_t totalBytes = 0;
    for (auto* list : {&client, &patches, &update, &addons}) {
        for (auto& job : *list) {
            if (!Stamp(job.full, job.size, job.time) && !strict) {
                job.given = true; // published without a digest, as the tests' server asks
                continue;
            }
            if (!Stamp(job.full, job.size, job.time)) {
                report.refused.push_back(Quoted(job.key) + ": cannot be read");
                continue;
            }
            ++report.files;
            report.bytes += job.size;
            if (job.given)
                continue;
            auto hit = previous.find(job.key);
            if (hit != previous.end() && hit->second.value("size", std::uint64_t{0}) == job.size &&
                hit->second.value("time", std::int64_t{0}) == job.time && hit->second.value("md5", "").size() == 32) {
                job.md5 = hit->second.value("md5", "");
                ++report.reused;
                continue;
            }
            todo.push_back(&job);
            totalBytes += job.size;
        }
    }
    if (!report.refused.empty())
        return report;

    // Digests on every core; a file that changes while it is read is read again, once.
    std::atomic<std::size_t> next{0}, doneFiles{0};
    std::atomic<std::uint64_t> doneBytes{0};
    std::mutex refusedMutex;
    auto work = [&] {
        for (std::size_t i; (i = next++) < todo.size();) {
            Job& job = *todo[i];
            for (int attempt = 0; attempt < 2; ++attempt) {
                job.md5 = FileMd5Hex(job.full);
                std::uint64_t size = 0;
                std::int64_t time = 0;
                if (Stamp(job.full, size, time) && size == job.size && time == job.time && !job.md5.empty())
                    break;
                job.size = size;
                job.time = time;
                if (attempt == 1) {
                    std::lock_guard lock(refusedMutex);
                    report.refused.push_back(Quoted(job.key) + ": changed while it was being published");
                }
            }
            doneBytes += job.size;
            ++doneFiles;
        }
    };
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < std::min<std::size_t>(cores, std::max<std::size_t>(todo.size(), 1)); ++i)
        workers.emplace_back(work);
    if (progress) {
        while (doneFiles < todo.size()) {
            progress(doneFiles, todo.size(), doneBytes, totalBytes);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    for (auto& t : workers)
        t.join();
    if (progress)
        progress(doneFiles, todo.size(), doneBytes, totalBytes);
    report.digested = todo.size();
    if (!report.refused.empty())
        return report;

    json out = json::object();
    for (auto [name, list] : {std::pair{"client", &client}, std::pair{"patches", &patches}}) {
        json entries = json::array();
        for (const auto& job : *list)
            entries.push_back({{"path", job.key.substr(job.key.find('/') + 1)},
                               {"size", job.size},
                               {"time", job.time},
                               {"md5", job.md5}});
        out[name] = entries;
    }
    out["update"] = nullptr;
    if (!update.empty()) {
        const auto& job = update.front();
        json u = {{"version", updateSettings.value("version", "0")},
                  {"file", job.key},
                  {"filename", updateSettings.value("filename", fs::path(job.key).filename().string())},
                  {"md5", job.md5},
                  {"size", job.size},
                  {"time", job.time}};
        if (updateSettings.contains("paramstr"))
            u["paramstr"] = updateSettings["paramstr"];
        out["update"] = u;
    }
    json addonList = json::array();
    std::size_t i = 0;
    for (const auto& a : settings.value("addons", json::array())) {
        const auto& job = addons[i++];
        addonList.push_back({{"file", job.key},
                             {"name", a.value("name", fs::path(job.key).filename().string())},
                             {"id", a.value("id", 0)},
                             {"type", a.value("type", 0)},
                             {"title", a.value("title", a.value("name", job.key))},
                             {"md5", job.md5},
                             {"size", job.size},
                             {"time", job.time}});
    }
    out["addons"] = addonList;
    const std::int64_t now = UnixNow();
    const json oldSerial = old.value("serial", json());
    const std::uint64_t serial = std::max<std::uint64_t>(
        oldSerial.is_number_unsigned() ? oldSerial.get<std::uint64_t>() + 1 : 1, static_cast<std::uint64_t>(now));
    out["serial"] = serial;
    if (signer) {
        json answers = json::object();
        const std::int64_t expires = now + (lifetime > 0 ? lifetime : kPublishLifetime);
        auto add = [&](const std::string& key, const std::string& body) {
            // The action the launcher asks: both getupdate answers answer "getupdate".
            const std::string action = key.substr(0, key.find(' '));
            const AnswerStamp stamp = signer->SignAnswer(action, serial, expires, body);
            answers[key] = {
                {"body", body}, {"signature", stamp.signature}, {"serial", stamp.serial}, {"expires", stamp.expires}};
        };
        for (const char* action : {"gethomepageurl", "getwowhost", "getWowFiles", "getPatches", "addons"})
            add(action, *ServerFolder::Render(out, settings, action, "", publicUrl).body);
        const json& offered = out["update"];
        const std::string current = offered.is_object() ? offered.value("version", "0") : "";
        add("getupdate none", *ServerFolder::Render(out, settings, "getupdate", current, publicUrl).body);
        if (ServerFolder::SignedKey("getupdate", "", out) == "getupdate offered")
            add("getupdate offered", *ServerFolder::Render(out, settings, "getupdate", "", publicUrl).body);
        add("aria2.conf", folder.Aria2Conf());
        out["signed"] = answers;
    }
    if (!WriteAtomically(folder.Root() + kPublishedFile, out.dump(1, ' ', false, json::error_handler_t::replace))) {
        report.refused.push_back(std::string(kPublishedFile) + ": cannot be written");
        return report;
    }
    report.ok = true;
    return report;
}

} // namespace tws
