// The reference launcher service: the demo's default service and the tests' server in one program.
//
//   tarnwick_service publish --root FOLDER [--signing-key PEM [--lifetime 7d]]
//   tarnwick_service --root FOLDER [--host 127.0.0.1] [--port N] [--port-file FILE] [--log FILE]
//                    [--idle-timeout S] [--tls-cert PEM --tls-key PEM [--tls-max 1.0|1.1|1.2|1.3]]
//                    [--signing-key PEM [--lifetime 1h]]
//   tarnwick_service keygen DIR
//
// --signing-key names an Ed25519 private key: every answer the service makes itself (the
// actions, aria2.conf, the add-on list, error and redirect texts) then carries the headers
// X-Tarnwick-Signature, X-Tarnwick-Serial (the published serial) and X-Tarnwick-Expires (now plus
// --lifetime, rounded up to the minute), the signature covering them, the action and the exact
// body (signing.h). It needs "public_url" in service.json: the service refuses to start without
// it rather than sign URLs built from a request's Host header. Files served from the folder are
// sent unsigned; the signed lists carry their digests. keygen writes DIR/signing-key.pem and
// DIR/signing-key.pub (never over an existing key) and prints the public key in the form the
// launcher's build setting TARNWICK_SIGNING_KEY takes.
//
// publish digests the server folder once (what changed since the last publish, on every core) and
// writes the published state (publish.h); the service answers only from it and never digests. A
// file changed after publishing is named on standard output ("stale: ...") at start and on each
// request for it. Only the content folders (folder.h) are served, never a link out of them.
// publish --signing-key signs the answers as it publishes them (for the "public_url" of
// service.json); a service started without a key of its own then hands them out with those
// signatures, so the private key need not be on the serving machine.
// Standard output carries one access line per request ("access: METHOD PATH STATUS BYTES TIME"),
// BYTES being the body bytes handed to the connection (fewer than announced when it broke off).
// SIGTERM, SIGINT and SIGHUP end the service (exit status 0).
// --idle-timeout S closes a connection that has sent no request for S seconds (default 5).
// --port 0 (the default) takes a free port; the port is printed ("listening on URL") and written to
// --port-file once the server accepts connections. --log appends one JSON line per request (method,
// path, version, header names with the values of the plain protocol headers only, the names of
// the form fields, the body's size, client port) to a file readable by its owner only: no
// cookies, form values or bodies. The head of a request is held to 100 fields and 32 KiB while it
// is read (431 beyond), so a connection never holds more than that.
// --wire-log (tarnwick_test_service only) appends every request whole (target, headers, body) so
// tests can check the wire.
// --knobs (tarnwick_test_service only, which also publishes before each answer) names a JSON
// file, re-read on every request, that bends answers for tests:
//   {"paths":   {"/files/client/a.bin": KNOB, ...},
//    "actions": {"getupdate": KNOB, ...}}
// KNOB members, all optional: "times" (apply to the first N requests only), "status" (answer with
// it), "body" (answer with this text), "body_hex" (answer with these bytes, in hexadecimal: for
// bodies that are not UTF-8), "delay_ms" (wait first), "redirects" (a chain of N
// redirects before the answer), "redirect_status", "redirect_to" (one redirect there),
// "cut_after" (announce the whole length, send N bytes, close), "stall_after" (send N bytes, then
// nothing for "stall_ms", default 120000), "no_length" (no Content-Length, chunked), "headers"
// ({name: value} added to the answer, e.g. Set-Cookie), "altered_body" (this text goes out in
// place of the body after it was signed: a change on the way), "signature", "serial", "expires"
// (this header value in place of the one made; "" sends none: with the three, an answer saved
// earlier), "expires_in" (sign the answer to hold this many seconds from now; negative: expired),
// "rate" (send the body at this many bytes per second), "type" (this Content-Type).
// A POST to /demo/event is a page's report (the demo home page sends what the launcher hands it):
// its body is printed on standard output as one line, "page: TEXT", which scripts/demo narrates.
#include "connection.h"
#include "folder.h"
#include "pool.h"
#include "publish.h"
#include "signing.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::atomic<bool> g_stopping{false};
std::atomic<bool> g_listenEnded{false};

// Only the tests' build of the service (tarnwick_test_service) takes --knobs.
constexpr bool kTestKnobs = TARNWICK_SERVICE_TEST_KNOBS != 0;

constexpr std::size_t kMaxBody = 64 * 1024;
constexpr std::size_t kMaxHeaderCount = 100;
constexpr std::size_t kMaxHeaderBytes = 32 * 1024;

// When the current request began, for the access log (a connection's requests run on one thread).
thread_local std::chrono::steady_clock::time_point t_started;
// Body bytes of the current answer handed to the connection so far, when it is sent in pieces.
thread_local std::optional<std::uint64_t> t_sent;

struct Options {
    std::string root = ".";
    std::string host = "127.0.0.1";
    int port = 0;
    int idleTimeout = 5; // seconds a connection may wait for its next request
    std::int64_t lifetime = tws::kOnlineLifetime; // of the answers the service signs
    std::string portFile, logFile, wireLogFile, knobsFile, tlsCert, tlsKey, tlsMax, signingKey;
};

// Sleeps up to `ms`, ending early when the server stops, so a stalled answer never holds it.
void SleepUnlessStopping(long ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!g_stopping && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

std::string FormDecode(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::map<std::string, std::string> ParseForm(const std::string& body) {
    std::map<std::string, std::string> out;
    std::size_t start = 0;
    while (start <= body.size()) {
        std::size_t amp = body.find('&', start);
        std::string pair = body.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
        std::size_t eq = pair.find('=');
        if (!pair.empty())
            out.emplace(FormDecode(pair.substr(0, eq)), eq == std::string::npos ? "" : FormDecode(pair.substr(eq + 1)));
        if (amp == std::string::npos)
            break;
        start = amp + 1;
    }
    return out;
}

std::string MimeType(const std::string& path) {
    std::string ext = fs::path(path).extension().string();
    if (ext == ".html" || ext == ".htm")
        return "text/html; charset=utf-8";
    if (ext == ".js")
        return "text/javascript; charset=utf-8";
    if (ext == ".css")
        return "text/css; charset=utf-8";
    if (ext == ".json")
        return "application/json";
    if (ext == ".png")
        return "image/png";
    if (ext == ".svg")
        return "image/svg+xml";
    if (ext == ".zip")
        return "application/zip";
    if (ext == ".txt" || ext == ".conf")
        return "text/plain; charset=utf-8";
    return "application/octet-stream";
}

// A request's text for a log line: bytes that could break the line or the terminal are escaped.
std::string LogSafe(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text.substr(0, 1024)) {
        if (c <= 0x20 || c == 0x7f || c == '%') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// What an answer carries before the knobs shape its delivery: a text or a file.
struct Content {
    int status = 200;
    std::string type = "text/plain; charset=utf-8";
    std::shared_ptr<const std::string> body = std::make_shared<const std::string>(); // shared, never copied
    std::string file;             // when set, the body is this file's bytes
    tws::AnswerStamp publishedAs; // the signature the body was published with, if it was
    const std::string& Text() const { return *body; }
    void SetText(std::string text) { body = std::make_shared<const std::string>(std::move(text)); }
    std::uint64_t Size() const {
        std::error_code ec;
        return file.empty() ? body->size() : static_cast<std::uint64_t>(fs::file_size(file, ec));
    }
    // Writes bytes [offset, offset+length) to the sink; false when they cannot be had.
    bool Write(std::uint64_t offset, std::uint64_t length, httplib::DataSink& sink) const {
        if (file.empty())
            return Send(sink, body->data() + offset, static_cast<std::size_t>(length));
        std::ifstream in(file, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset));
        std::vector<char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(length, 256 * 1024)));
        while (length > 0 && in) {
            auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer.size()));
            in.read(buffer.data(), static_cast<std::streamsize>(n));
            auto got = static_cast<std::size_t>(in.gcount());
            if (got == 0 || !Send(sink, buffer.data(), got))
                return false;
            length -= got;
        }
        return length == 0;
    }
    static bool Send(httplib::DataSink& sink, const char* data, std::size_t size) {
        if (!sink.write(data, size))
            return false;
        t_sent = t_sent.value_or(0) + size;
        return true;
    }
};

class Service {
public:
    explicit Service(const Options& o) : options_(o), folder_(o.root) {
        if (o.signingKey.empty())
            return;
        // Without a fixed address the file URLs would come from each request's Host header, and
        // the service would sign whatever site a request names.
        const std::string url = folder_.Settings().value("public_url", "");
        if (!IsPublicUrl(url))
            throw std::runtime_error("--signing-key needs \"public_url\" in " + folder_.Root() +
                                     "service.json (the http:// or https:// address players fetch the files from): "
                                     "signed answers must not name whatever host a request asks for");
        signer_ = std::make_unique<tws::Signer>(o.signingKey);
    }

    static bool IsPublicUrl(const std::string& url) {
        return (url.rfind("http://", 0) == 0 && url.size() > 7) || (url.rfind("https://", 0) == 0 && url.size() > 8);
    }

    void Handle(const httplib::Request& req, httplib::Response& res) {
        t_started = std::chrono::steady_clock::now();
        Record(req);
        std::string action;
        std::string version;
        if (req.path == "/index.php") {
            auto form = ParseForm(req.body);
            for (const auto& [k, v] : req.params)
                form.emplace(k, v);
            action = form.count("a") ? form["a"] : "";
            version = form.count("version") ? form["version"] : "";
        }
        // What a signature binds the answer to: the action asked, the configuration, or the path.
        const std::string signedAction = req.path == "/index.php"             ? action
                                         : req.path == "/apps/w02/aria2.conf" ? std::string("aria2.conf")
                                         : req.path == "/api/addons"          ? std::string("addons")
                                                                              : req.path;
        const int hop = req.has_param("_hop") ? std::atoi(req.get_param_value("_hop").c_str()) : 0;
        json knob = FindKnob(req.path, action, hop);
        const std::int64_t lifetime =
            knob.contains("expires_in") ? knob.value("expires_in", std::int64_t{0}) : options_.lifetime;

        const int redirects = knob.value("redirects", 0);
        if (hop < redirects || (hop == 0 && knob.contains("redirect_to"))) {
            std::string location = hop < redirects ? req.path + "?_hop=" + std::to_string(hop + 1)
                                                   : knob.value("redirect_to", std::string());
            res.status = knob.value("redirect_status", req.method == "POST" ? 307 : 302);
            res.set_header("Location", location);
            const std::string text = "redirect " + std::to_string(hop + 1) + "\n";
            if (signer_)
                SetStamp(res, SignatureOf(signedAction, std::make_shared<const std::string>(text), lifetime));
            res.set_content(text, "text/plain");
            return;
        }
        if (knob.contains("delay_ms"))
            SleepUnlessStopping(knob.value("delay_ms", 0L));

        Content content = Route(req, action, version);
        if (knob.contains("status")) {
            content.status = knob.value("status", 200);
            content.file.clear();
            content.SetText("status " + std::to_string(content.status) + "\n");
            content.type = "text/plain";
        }
        if (knob.contains("body")) {
            content.file.clear();
            content.SetText(knob.value("body", std::string()));
        }
        if (knob.contains("body_hex")) {
            const std::string hex = knob.value("body_hex", std::string());
            std::string bytes;
            for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
                bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
            content.file.clear();
            content.SetText(std::move(bytes));
        }
        if (knob.contains("type"))
            content.type = knob.value("type", content.type);
        // A key of the service's own signs what it sends; without one, an answer published
        // signed goes out with the signature it was published with.
        const bool bodyBent = knob.contains("status") || knob.contains("body") || knob.contains("body_hex");
        if (signer_ && content.file.empty())
            SetStamp(res, SignatureOf(signedAction, content.body, lifetime));
        else if (!content.publishedAs.signature.empty() && !bodyBent)
            SetStamp(res, content.publishedAs);
        if (knob.contains("altered_body")) {
            content.file.clear();
            content.SetText(knob.value("altered_body", std::string()));
        }
        // A stamp header in place of the one made ("" sends none): an answer saved earlier.
        for (const auto& [name, header] :
             {std::pair{"signature", tws::kSignatureHeader}, std::pair{"serial", tws::kSerialHeader},
              std::pair{"expires", tws::kExpiresHeader}}) {
            if (!knob.contains(name))
                continue;
            res.headers.erase(header);
            const std::string value = knob.value(name, std::string());
            if (!value.empty())
                res.set_header(header, value);
        }
        const json extraHeaders = knob.value("headers", json::object());
        for (const auto& [name, value] : extraHeaders.items())
            res.set_header(name, value.is_string() ? value.get<std::string>() : value.dump());
        Deliver(req, content, knob, res);
    }

    tws::ServerFolder& Folder() { return folder_; }

    // The access log: one line per request on standard output, whatever its outcome.
    void Access(const httplib::Request& req, const httplib::Response& res) {
        const auto now = std::chrono::steady_clock::now();
        const double ms = t_started.time_since_epoch().count() == 0
                              ? 0.0
                              : std::chrono::duration<double, std::milli>(now - t_started).count();
        t_started = {};
        std::string bytes = t_sent ? std::to_string(*t_sent) : res.get_header_value("Content-Length");
        if (bytes.empty())
            bytes = std::to_string(res.body.size());
        t_sent.reset();
        char timing[32];
        std::snprintf(timing, sizeof timing, "%.1fms", ms);
        std::lock_guard lock(logMutex_);
        std::cout << "access: " << (req.method.empty() ? "-" : LogSafe(req.method)) << ' '
                  << (req.path.empty() ? "-" : LogSafe(req.path)) << ' ' << res.status << ' ' << bytes << ' ' << timing
                  << std::endl;
    }

private:
    // The start of the file URLs; empty when a signing service has lost its "public_url".
    std::string Base(const httplib::Request& req) {
        json settings = folder_.Settings();
        if (settings.contains("public_url") || signer_) {
            std::string url = settings.value("public_url", std::string());
            return signer_ && !IsPublicUrl(url) ? std::string() : url;
        }
        return std::string(options_.tlsCert.empty() ? "http://" : "https://") + req.get_header_value("Host");
    }

    Content Route(const httplib::Request& req, const std::string& action, const std::string& version) {
        Content c;
        if (req.path == "/index.php" || req.path == "/api/addons") {
            const std::string asked = req.path == "/api/addons" ? "addons" : action == "addons" ? "" : action;
            if (kTestKnobs && asked != "gethomepageurl" && asked != "getwowhost")
                Republish();
            const std::string base = Base(req);
            if (base.empty() && signer_) {
                Say("refused: service.json names no \"public_url\"; answers are not signed for a requested host");
                c.status = 503;
                c.SetText(json({{"error", "service.json names no public_url"}}).dump());
                return c;
            }
            auto reply = folder_.Answer(asked, version, base);
            c.status = reply.status;
            c.body = std::move(reply.body);
            c.publishedAs = std::move(reply.signedAs);
            c.type = "application/json; charset=utf-8";
            return c;
        }
        if (req.path == "/demo/event" && req.method == "POST") {
            PrintPageEvent(req.body);
            c.status = 204;
            return c;
        }
        if (req.path == "/apps/w02/aria2.conf") {
            auto reply = folder_.SignedAria2Conf();
            c.body = std::move(reply.body);
            c.publishedAs = std::move(reply.signedAs);
            return c;
        }
        if (req.path == "/" || req.path == "/home" || req.path == "/home/") {
            c.status = 302;
            c.SetText("home\n");
            c.type = "text/plain; Location=/home/index.html";
            return c;
        }
        std::string rel;
        if (req.path.rfind("/files/", 0) == 0)
            rel = req.path.substr(7);
        else if (req.path.rfind("/home/", 0) == 0)
            rel = req.path.substr(1);
        if (std::string file = folder_.ContentFile(rel); !file.empty()) {
            if (folder_.IsStale(rel))
                Say("stale: " + LogSafe(rel) + " changed after it was published; served as it is now");
            c.file = file;
            c.type = MimeType(rel);
            return c;
        }
        c.status = 404;
        c.SetText("not found\n");
        return c;
    }

    void Deliver(const httplib::Request& req, const Content& content, const json& knob, httplib::Response& res) {
        res.status = content.status;
        if (content.status == 200 && !req.ranges.empty()) {
            // httplib cuts the body to the range; the status and the unsatisfiable case are ours.
            const auto total = static_cast<long long>(content.Size());
            const auto& [first, last] = req.ranges.front();
            if (req.ranges.size() > 1 || first >= total || (first < 0 && last <= 0)) {
                res.status = 416;
                res.set_header("Content-Range", "bytes */" + std::to_string(total));
                return;
            }
            res.status = 206;
        }
        if (content.status == 302 && content.type.find("Location=") != std::string::npos) {
            res.set_header("Location", content.type.substr(content.type.find("Location=") + 9));
            res.set_content(content.Text(), "text/plain");
            return;
        }
        auto shared = std::make_shared<Content>(content);
        const std::uint64_t size = shared->Size();
        t_sent.reset();
        if (knob.contains("rate")) {
            // Paced from the first byte on: a slow line for tests that need a transfer under way.
            const double rate = std::max(1.0, knob.value("rate", 1.0));
            auto began = std::make_shared<std::optional<std::chrono::steady_clock::time_point>>();
            auto paced = std::make_shared<std::uint64_t>(0);
            res.set_content_provider(
                static_cast<std::size_t>(size), content.type,
                [shared, rate, began, paced](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                    if (!*began)
                        *began = std::chrono::steady_clock::now();
                    const auto due = **began + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                   std::chrono::duration<double>(static_cast<double>(*paced) / rate));
                    SleepUnlessStopping(
                        std::chrono::duration_cast<std::chrono::milliseconds>(due - std::chrono::steady_clock::now())
                            .count());
                    const std::uint64_t n = std::min<std::uint64_t>(length, 64 * 1024);
                    *paced += n;
                    return shared->Write(offset, n, sink);
                });
            return;
        }
        if (knob.contains("cut_after") || knob.contains("stall_after")) {
            const bool cut = knob.contains("cut_after");
            const std::uint64_t limit = knob.value(cut ? "cut_after" : "stall_after", std::uint64_t{0});
            const long stallMs = knob.value("stall_ms", 120000L);
            res.set_content_provider(
                static_cast<std::size_t>(size), content.type,
                [shared, limit, cut, stallMs](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                    if (offset < limit) {
                        auto n = std::min<std::uint64_t>(length, limit - offset);
                        return shared->Write(offset, n, sink);
                    }
                    if (!cut)
                        SleepUnlessStopping(stallMs);
                    return false; // drops the connection short of the announced length
                });
            return;
        }
        if (knob.value("no_length", false)) {
            res.set_chunked_content_provider(content.type, [shared, size](std::size_t offset, httplib::DataSink& sink) {
                if (offset >= size) {
                    sink.done();
                    return true;
                }
                return shared->Write(offset, std::min<std::uint64_t>(size - offset, 64 * 1024), sink);
            });
            return;
        }
        // A large answer (the client list) goes out straight from the shared text, never copied;
        // httplib wants short ones (and empty ones above all) as a body of their own.
        if (shared->file.empty() && size < 64 * 1024) {
            res.set_content(shared->Text(), content.type);
            return;
        }
        res.set_content_provider(static_cast<std::size_t>(size), content.type,
                                 [shared](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                     return shared->Write(offset, length, sink);
                                 });
    }

    json FindKnob(const std::string& path, const std::string& action, int hop) {
        if (options_.knobsFile.empty())
            return json::object();
        std::ifstream in(options_.knobsFile);
        if (!in)
            return json::object();
        json all = json::parse(in, nullptr, false);
        if (!all.is_object())
            return json::object();
        std::string key;
        json knob;
        if (!action.empty() && all.value("actions", json::object()).contains(action)) {
            key = "a:" + action;
            knob = all["actions"][action];
        } else if (all.value("paths", json::object()).contains(path)) {
            key = "p:" + path;
            knob = all["paths"][path];
        } else {
            return json::object();
        }
        if (!knob.is_object())
            return json::object();
        if (knob.contains("times")) {
            std::lock_guard lock(countMutex_);
            // A redirect chain is one request: only its first hop counts.
            int& used = used_[key];
            if (hop == 0) {
                if (used >= knob.value("times", 0))
                    return json::object();
                ++used;
            }
        }
        return knob;
    }

    // The service's own signature of an answer to `action`, for the published serial, to hold
    // `lifetime` seconds. The expiry is rounded up to the minute, so the same shared body (a
    // cached answer) is signed once a minute: a client list of megabytes takes milliseconds.
    tws::AnswerStamp SignatureOf(const std::string& action, const std::shared_ptr<const std::string>& body,
                                 std::int64_t lifetime) {
        const std::uint64_t serial = folder_.Serial();
        std::int64_t expires = tws::UnixNow() + lifetime;
        if (lifetime >= 60)
            expires = (expires + 59) / 60 * 60;
        if (body->size() < 64 * 1024)
            return signer_->SignAnswer(action, serial, expires, *body);
        const auto key = std::make_tuple(body, action, serial, expires);
        {
            std::lock_guard lock(signaturesMutex_);
            if (auto hit = signatures_.find(key); hit != signatures_.end())
                return hit->second;
        }
        tws::AnswerStamp stamp = signer_->SignAnswer(action, serial, expires, *body);
        std::lock_guard lock(signaturesMutex_);
        if (signatures_.size() >= 64)
            signatures_.clear();
        signatures_[key] = stamp;
        return stamp;
    }

    static void SetStamp(httplib::Response& res, const tws::AnswerStamp& stamp) {
        res.set_header(tws::kSignatureHeader, stamp.signature);
        res.set_header(tws::kSerialHeader, stamp.serial);
        res.set_header(tws::kExpiresHeader, stamp.expires);
    }

    // The tests' build publishes before each answer that needs digests, so that tests may change
    // the server folder while the service runs.
    void Republish() {
        std::lock_guard lock(publishMutex_);
        auto report = tws::Publish(folder_.Root(), {}, false);
        for (const auto& r : report.refused)
            Say("publish refused: " + r);
    }

    // One line on standard output.
    void Say(const std::string& line) {
        std::lock_guard lock(logMutex_);
        std::cout << line << std::endl;
    }

    // One line, whatever the page sent: control characters become spaces, and a long text is cut.
    void PrintPageEvent(std::string text) {
        if (text.size() > 2000)
            text.resize(2000);
        for (char& ch : text)
            if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f)
                ch = ' ';
        std::lock_guard lock(logMutex_);
        std::cout << "page: " << text << std::endl;
    }

    // --log: what came, without what a player sent along (cookies and other header values, form
    // values, bodies); --wire-log (tests only): every request whole.
    void Record(const httplib::Request& req) {
        if (logFd_ < 0 && wireLogFd_ < 0)
            return;
        std::lock_guard lock(logMutex_);
        ++requests_;
        if (logFd_ >= 0)
            AppendLine(logFd_, OutlineOf(req));
        if (wireLogFd_ >= 0) {
            json headers = json::array();
            for (const auto& [k, v] : req.headers)
                if (k != "REMOTE_ADDR" && k != "REMOTE_PORT" && k != "LOCAL_ADDR" && k != "LOCAL_PORT")
                    headers.push_back({k, v});
            AppendLine(wireLogFd_, {{"n", requests_},
                                    {"method", req.method},
                                    {"target", req.target},
                                    {"path", req.path},
                                    {"version", req.version},
                                    {"headers", headers},
                                    {"body", req.body},
                                    {"remote_port", req.remote_port}});
        }
    }

    json OutlineOf(const httplib::Request& req) const {
        static const std::set<std::string> kShown{"host",   "user-agent",       "content-type", "content-length",
                                                  "range",  "connection",       "accept",       "accept-encoding",
                                                  "expect", "transfer-encoding"};
        json headers = json::array();
        for (const auto& [k, v] : req.headers) {
            if (k == "REMOTE_ADDR" || k == "REMOTE_PORT" || k == "LOCAL_ADDR" || k == "LOCAL_PORT")
                continue;
            std::string lower = k;
            for (char& c : lower)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            headers.push_back({k, kShown.count(lower) ? json(v) : json(std::to_string(v.size()) + " bytes")});
        }
        json fields = json::array();
        for (const auto& [k, v] : req.params)
            fields.push_back(k);
        if (req.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) == 0)
            for (const auto& [k, v] : ParseForm(req.body))
                fields.push_back(k);
        return {{"n", requests_},
                {"method", req.method},
                {"path", req.path},
                {"version", req.version},
                {"headers", headers},
                {"form_fields", fields},
                {"body_bytes", req.body.size()},
                {"remote_port", req.remote_port}};
    }

    static void AppendLine(int fd, const json& line) {
        const std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace) + '\n';
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n <= 0)
                return;
            done += static_cast<std::size_t>(n);
        }
    }

    // A log file for appending, readable and writable by its owner only (also when it was there).
    static int OpenLog(const std::string& path) {
        if (path.empty())
            return -1;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0 || ::fchmod(fd, 0600) != 0) {
            if (fd >= 0)
                ::close(fd);
            throw std::runtime_error("cannot write the log " + path + " (or make it its owner's only)");
        }
        return fd;
    }

    Options options_;
    tws::ServerFolder folder_;
    std::unique_ptr<tws::Signer> signer_;
    std::mutex signaturesMutex_;
    // By the body's identity, the action, the serial and the expiry.
    std::map<std::tuple<std::shared_ptr<const std::string>, std::string, std::uint64_t, std::int64_t>, tws::AnswerStamp>
        signatures_;
    std::mutex logMutex_;
    long requests_ = 0;
    int logFd_ = OpenLog(options_.logFile);
    int wireLogFd_ = OpenLog(options_.wireLogFile);
    std::mutex countMutex_;
    std::mutex publishMutex_;
    std::map<std::string, int> used_;
};

int TlsVersion(const std::string& v) {
    if (v == "1.0")
        return TLS1_VERSION;
    if (v == "1.1")
        return TLS1_1_VERSION;
    if (v == "1.2")
        return TLS1_2_VERSION;
    return TLS1_3_VERSION;
}

int Usage() {
    std::cerr << "usage: tarnwick_service publish --root FOLDER [--signing-key PEM [--lifetime 7d]]\n"
                 "       tarnwick_service --root FOLDER [--host H] [--port N] [--port-file F] [--log F] "
                 "[--idle-timeout S] [--tls-cert PEM --tls-key PEM [--tls-max 1.0|1.1|1.2|1.3]] "
                 "[--signing-key PEM [--lifetime 1h]]\n"
                 "       tarnwick_service keygen DIR\n";
    return 2;
}

} // namespace

// tarnwick_service publish --root FOLDER: digests what changed and writes the published state.
int PublishCommand(int argc, char** argv) {
    std::string root, keyFile, lifetimeText;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--root" && i + 1 < argc)
            root = argv[++i];
        else if (a == "--signing-key" && i + 1 < argc)
            keyFile = argv[++i];
        else if (a == "--lifetime" && i + 1 < argc)
            lifetimeText = argv[++i];
        else
            return Usage();
    }
    std::unique_ptr<tws::Signer> signer;
    std::int64_t lifetime = tws::kPublishLifetime;
    try {
        if (!lifetimeText.empty())
            lifetime = tws::ParseLifetime(lifetimeText);
        if (!keyFile.empty())
            signer = std::make_unique<tws::Signer>(keyFile);
    } catch (const std::exception& e) {
        std::cerr << "tarnwick_service publish: " << e.what() << '\n';
        return 1;
    }
    if (root.empty())
        return Usage();
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        std::cerr << "tarnwick_service publish: " << root << " is not a folder\n";
        return 1;
    }
    const bool tty = ::isatty(2) != 0;
    const auto started = std::chrono::steady_clock::now();
    auto progress = [&](std::size_t files, std::size_t totalFiles, std::uint64_t bytes, std::uint64_t totalBytes) {
        if (!tty || totalFiles == 0)
            return;
        std::fprintf(stderr, "\rpublish: digesting %zu/%zu files, %.1f/%.1f MB", files, totalFiles, double(bytes) / 1e6,
                     double(totalBytes) / 1e6);
        if (files == totalFiles)
            std::fputc('\n', stderr);
    };
    const auto report = tws::Publish(fs::absolute(root).string() + "/", progress, true, signer.get(), lifetime);
    for (const auto& r : report.refused)
        std::cerr << "tarnwick_service publish: refused " << r << '\n';
    if (!report.ok) {
        std::cerr << "tarnwick_service publish: nothing changed; the published state stays as it was\n";
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("published %zu files (%.1f MB): %zu digested, %zu unchanged, in %.1f s\n", report.files,
                double(report.bytes) / 1e6, report.digested, report.reused, seconds);
    if (signer) {
        const std::time_t until = static_cast<std::time_t>(tws::UnixNow() + lifetime);
        char when[32];
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M UTC", std::gmtime(&until));
        std::printf("signed answers hold until %s: publish again before then\n", when);
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "keygen") {
        if (argc != 3)
            return Usage();
        try {
            const std::string publicKey = tws::MakeKeyPair(argv[2]);
            std::cerr << "tarnwick_service: wrote " << (fs::path(argv[2]) / "signing-key.pem").string()
                      << " (the private key: keep it secret, give it to --signing-key) and signing-key.pub\n"
                         "Build the launcher with -DTARNWICK_SIGNING_KEY=<the line below>\n";
            std::cout << publicKey << std::endl;
            return 0;
        } catch (const std::exception& e) {
            std::cerr << "tarnwick_service keygen: " << e.what() << '\n';
            return 1;
        }
    }
    if (argc > 1 && std::string(argv[1]) == "publish")
        return PublishCommand(argc, argv);
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::runtime_error("missing value after " + a);
            return argv[++i];
        };
        try {
            if (a == "--root")
                o.root = next();
            else if (a == "--host")
                o.host = next();
            else if (a == "--port")
                o.port = std::stoi(next());
            else if (a == "--port-file")
                o.portFile = next();
            else if (a == "--idle-timeout")
                o.idleTimeout = std::max(1, std::stoi(next()));
            else if (a == "--log")
                o.logFile = next();
            else if (kTestKnobs && a == "--knobs")
                o.knobsFile = next();
            else if (kTestKnobs && a == "--wire-log")
                o.wireLogFile = next();
            else if (a == "--lifetime")
                o.lifetime = tws::ParseLifetime(next());
            else if (a == "--tls-cert")
                o.tlsCert = next();
            else if (a == "--tls-key")
                o.tlsKey = next();
            else if (a == "--tls-max")
                o.tlsMax = next();
            else if (a == "--signing-key")
                o.signingKey = next();
            else
                return Usage();
        } catch (const std::exception& e) {
            std::cerr << e.what() << '\n';
            return Usage();
        }
    }

    // Signals are taken by one thread that stops the server; every other thread blocks them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // The request line may take the library's longest target; the fields take the limits below,
    // each line less than the library's own limit of a line (past which it would answer 400).
    const tws::HeadLimits headLimits{CPPHTTPLIB_REQUEST_URI_MAX_LENGTH + kMaxHeaderBytes + 2, kMaxHeaderCount + 1,
                                     CPPHTTPLIB_HEADER_MAX_LENGTH - 256};
    std::unique_ptr<httplib::Server> server;
    if (!o.tlsCert.empty()) {
        server = tws::MakeBoundedServer(headLimits, [&](SSL_CTX& ctx) {
            if (SSL_CTX_use_certificate_chain_file(&ctx, o.tlsCert.c_str()) != 1 ||
                SSL_CTX_use_PrivateKey_file(&ctx, o.tlsKey.c_str(), SSL_FILETYPE_PEM) != 1)
                return false;
            if (!o.tlsMax.empty()) {
                int max = TlsVersion(o.tlsMax);
                SSL_CTX_set_max_proto_version(&ctx, max);
                if (max < TLS1_2_VERSION) {
                    // Old protocols only work at the lowest security level.
                    SSL_CTX_set_security_level(&ctx, 0);
                    SSL_CTX_set_min_proto_version(&ctx, TLS1_VERSION);
                }
            }
            return true;
        });
        if (!server->is_valid()) {
            std::cerr << "tarnwick_service: cannot use the certificate or key\n";
            return 1;
        }
    } else {
        server = tws::MakeBoundedServer(headLimits);
    }

    std::unique_ptr<Service> servicePtr;
    try {
        servicePtr = std::make_unique<Service>(o);
    } catch (const std::exception& e) {
        std::cerr << "tarnwick_service: " << e.what() << '\n';
        return 1;
    }
    Service& service = *servicePtr;
    // What changed since it was published is served as it is now; the launcher's check will
    // catch it, and the operator is told here and on each request for it.
    const bool published = service.Folder().Load(
        [](const std::string& rel) { std::cout << "stale: " << LogSafe(rel) << " changed after it was published\n"; });
    if (!published && !kTestKnobs)
        std::cout << "nothing is published in " << o.root << " yet: run tarnwick_service publish --root " << o.root
                  << '\n';
    if (const std::int64_t until = service.Folder().SignedUntil();
        until > 0 && until <= tws::UnixNow() && o.signingKey.empty())
        std::cout << "expired: the answers signed at publish time ran out; launchers built with the key refuse them "
                     "until you publish again with --signing-key\n";
    // One thread per open connection (up to a cap far above what a single host serves), so idle
    // keep-alive connections never make other launchers wait; each connection takes a descriptor.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    server->new_task_queue = [] { return new tws::ElasticPool(4096); };
    // The library listens with a tiny backlog; connections beyond it would wait seconds for a
    // retry of their handshake. Listening again on the bound socket enlarges it.
    int listener = -1;
    server->set_socket_options([&listener](int sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listener = sock;
    });
    server->set_keep_alive_timeout(o.idleTimeout);
    server->set_read_timeout(10);
    // Launchers send short forms; nothing the service takes is larger than this.
    server->set_payload_max_length(kMaxBody);
    server->set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        std::size_t size = 0;
        for (const auto& [k, v] : req.headers)
            size += k.size() + v.size() + 4;
        if (!tws::HeadTooLarge() && req.headers.size() <= kMaxHeaderCount && size <= kMaxHeaderBytes)
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 431;
        res.set_header("Connection", "close");
        res.set_content("request header fields too large\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    server->set_logger([&](const httplib::Request& req, const httplib::Response& res) { service.Access(req, res); });
    auto handler = [&](const httplib::Request& req, httplib::Response& res) { service.Handle(req, res); };
    server->Get(".*", handler);
    server->Post(".*", handler);

    int port = o.port;
    if (port == 0) {
        port = server->bind_to_any_port(o.host);
        if (port <= 0) {
            std::cerr << "tarnwick_service: cannot listen on " << o.host << '\n';
            return 1;
        }
    } else if (!server->bind_to_port(o.host, port)) {
        std::cerr << "tarnwick_service: cannot listen on " << o.host << ':' << port << '\n';
        return 1;
    }

    if (listener >= 0)
        ::listen(listener, 4096);

    std::thread stopper([&] {
        int sig = 0;
        sigwait(&signals, &sig);
        g_stopping = true;
        server->stop();
        // Connections that are still open get a moment to finish; then the process ends anyway,
        // so that a stop never waits for idle or stalled clients.
        for (int i = 0; i < 150 && !g_listenEnded; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!g_listenEnded) {
            std::cout.flush();
            std::_Exit(0);
        }
    });
    stopper.detach();

    if (!o.portFile.empty()) {
        std::string tmp = o.portFile + ".tmp";
        std::ofstream(tmp) << port << '\n';
        fs::rename(tmp, o.portFile);
    }
    std::cout << "tarnwick_service listening on " << (o.tlsCert.empty() ? "http" : "https") << "://" << o.host << ':'
              << port << "/ serving " << fs::absolute(o.root).string() << std::endl;
    bool ok = server->listen_after_bind();
    g_listenEnded = true;
    g_stopping = true;
    return ok ? 0 : 1;
}
