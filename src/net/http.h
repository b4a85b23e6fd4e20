#pragma once
// The workers' HTTP client, on libcurl (http_posix.cpp) or WinHTTP (http_win32.cpp). Each worker owns
// one and is the only thread that uses it.
//
// Contract the workers rely on:
// - Every body sent or received gets its own event series: OnBegin(expected total, 0 when not
//   announced), OnProgress(running total) for every chunk, OnEnd. A redirect answer's body and an
//   error answer's body get a series too; OnEnd follows every OnBegin, also when the transfer fails.
//   Events run on the calling thread, inside the request call. An exception thrown by a handler
//   aborts the transfer and comes out of the request call.
// - Redirects are followed here (not by libcurl) so that each answer body is seen: at most
//   kMaxRedirects in a row, http and https only. 301/302/303 turn a POST into a GET; 307/308
//   repeat it.
// - GETs go out as HTTP/1.1 and may reuse the connection. A POST closes any open connection and
//   goes out as HTTP/1.0 with a Content-Length on a connection of its own.
// - Raises tw::HttpError, naming the URL, for a status of 400 or more after redirects, a failed
//   connection, name resolution or TLS handshake, an unsupported scheme, and a transfer that moves
//   no byte for the stall time-out (a dead peer would otherwise hold the worker for ever).
// - Cookies that answers set are kept for the client's life and sent back where they match.
// - https needs TLS 1.2 or newer and a certificate that the system's store (or the CA file of the
//   TLS handler) vouches for, with a matching host name.
#include "platform/error.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tw {

inline constexpr char kHttpUserAgent[] = "Mozilla/5.0 (Windows NT 6.2; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
                                         "Chrome/70.0.3538.77 Safari/537.36 Veltrano/2.0";
inline constexpr char kFormContentType[] = "application/x-www-form-urlencoded";
inline constexpr char kJsonContentType[] = "application/json";
inline constexpr int kMaxRedirects = 15;
inline constexpr std::chrono::milliseconds kStallTimeout{60'000};

// A request that failed on the way. Answered() tells whether the server sent an answer at all
// (false: no connection, no name, no TLS, or nothing before the stall time-out; true: a status of
// 400 or more, a redirect that cannot be followed, an answer cut short).
class HttpError : public Error {
public:
    HttpError(const std::string& message, bool answered) : Error(message), answered_(answered) {}
    bool Answered() const { return answered_; }

private:
    bool answered_;
};

// The trust settings of a client's https transfers. A worker owns it beside its client.
class TTlsHandler {
public:
    // A PEM file of certificate authorities trusted instead of the system's store (tests bring
    // their own CA this way). Empty: the system's store.
    std::string CaFile;
};

// Handlers of one client's transfer events (see the contract above). Any of them may be empty.
struct TTransferEvents {
    std::function<void(std::int64_t total)> OnBegin;
    std::function<void(std::int64_t done)> OnProgress;
    std::function<void()> OnEnd;
};

class THttpClient {
public:
    // Receives the final answer's body, chunk by chunk. Throwing aborts the transfer.
    using BodySink = std::function<void(const char* data, std::size_t size)>;

    THttpClient();
    ~THttpClient();
    THttpClient(const THttpClient&) = delete;
    THttpClient& operator=(const THttpClient&) = delete;

    // The TLS handler is not owned and must outlive the client's requests; null means defaults.
    void SetIOHandler(const TTlsHandler* tls) { tls_ = tls; }
    void SetEvents(TTransferEvents events) { events_ = std::move(events); }
    // The Content-Type that POSTs carry; form-urlencoded at creation.
    void SetContentType(std::string type) { contentType_ = std::move(type); }
    const std::string& ContentType() const { return contentType_; }
    // kStallTimeout unless changed (tests shorten it). Also bounds the connection set-up.
    void SetStallTimeout(std::chrono::milliseconds timeout) { stallTimeout_ = timeout; }

    // GET, the final answer's body to `sink`.
    void Get(const std::string& url, const BodySink& sink);
    // GET into a stream the caller created and closes; what arrived before an error stays in it.
    void Get(const std::string& url, std::ostream& out);
    // GET into memory.
    std::string Get(const std::string& url);

    // POST `body` with the current content type; gives the final answer's body.
    std::string Post(const std::string& url, const std::string& body);
    // Sets the form content type, then posts.
    std::string PostForm(const std::string& url, const std::string& body);
    // Sets the JSON content type, then posts (JSON-RPC).
    std::string PostJson(const std::string& url, const std::string& json);

    // Status code of the last final answer (0 before any).
    int LastStatus() const { return lastStatus_; }
    // A header of the last request's final answer (name without regard to case; a header sent
    // more than once gives its values joined by ", "); empty when it was not sent or the request
    // failed.
    std::string LastHeader(std::string_view name) const;

private:
    struct Handle;
    void Request(std::string url, const std::string* postBody, const BodySink& sink);

    std::unique_ptr<Handle> handle_;
    const TTlsHandler* tls_ = nullptr;
    TTransferEvents events_;
    std::string contentType_ = kFormContentType;
    std::chrono::milliseconds stallTimeout_ = kStallTimeout;
    int lastStatus_ = 0;
    std::vector<std::pair<std::string, std::string>> lastHeaders_;
};

// True for an absolute http or https URL (scheme compared without regard to case).
bool IsHttpUrl(const std::string& url);

// GETs `url` with `http` into the file at `path`, created or emptied first. Raises as Get does,
// or SystemError when the file cannot be written; the file is then deleted: such a file is
// fetched whole again next time, so a part is worth nothing, and one that filled the disk would
// keep it full until then.
void GetIntoFile(THttpClient& http, const std::string& url, const std::string& path);

} // namespace tw
