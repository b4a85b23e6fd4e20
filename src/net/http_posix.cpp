#include "net/http.h"
#include "net/http_header.h"

#include "base/text.h"
#include "platform/error.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>
#include <ostream>

namespace tw {

namespace {

// libcurl's global set-up is not safe to race with other threads; the workers start at any time.
void GlobalInitOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
            throw Error("The HTTP library could not be initialised");
    });
}

// What one request/answer exchange (one hop of a redirect chain) needs in libcurl's callbacks.
struct Exchange {
    const TTransferEvents* events = nullptr;
    const THttpClient::BodySink* sink = nullptr;
    std::chrono::milliseconds stallTimeout{};

    // request body
    const std::string* upload = nullptr;
    std::size_t uploaded = 0;
    bool uploadBegun = false;
    bool uploadEnded = false;

    // answer
    long status = 0;
    std::string reason;
    std::int64_t contentLength = -1;
    bool chunked = false;
    bool hasLocation = false;
    std::vector<std::pair<std::string, std::string>> headers; // of the answer in progress
    bool bodyBegun = false;
    bool bodyEnded = false;
    bool bodyToSink = false;
    std::int64_t received = 0;

    // stall watch
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    curl_off_t lastDown = -1;
    curl_off_t lastUp = -1;
    bool stalled = false;

    std::exception_ptr failure;

    void BeginUpload() {
        uploadBegun = true;
        if (events->OnBegin)
            events->OnBegin(static_cast<std::int64_t>(upload->size()));
    }
    void EndUpload() {
        if (uploadBegun && !uploadEnded) {
            uploadEnded = true;
            if (events->OnEnd)
                events->OnEnd();
        }
    }
    void BeginBody() {
        EndUpload();
        bodyBegun = true;
        bodyToSink = !(IsRedirectStatus(status) && hasLocation) && status < 400;
        if (events->OnBegin)
            events->OnBegin(contentLength > 0 && !chunked ? contentLength : 0);
    }
    void EndBody() {
        if (bodyBegun && !bodyEnded) {
            bodyEnded = true;
            if (events->OnEnd)
                events->OnEnd();
        }
    }
    // Runs an event or sink call; an exception is kept for the request call to rethrow.
    template <class F> bool Guard(F&& f) {
        if (failure)
            return false;
        try {
            f();
            return true;
        } catch (...) {
            failure = std::current_exception();
            return false;
        }
    }
};

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto& x = *static_cast<Exchange*>(user);
    const size_t n = size * count;
    std::string_view line(data, n);
    if (StartsWithNoCase(line, "HTTP/")) {
        // A new answer (an interim 1xx one may come before the real one).
        std::string_view rest = TrimHeaderLine(line);
        std::size_t sp = rest.find(' ');
        x.status = 0;
        x.reason.clear();
        if (sp != std::string_view::npos) {
            rest.remove_prefix(sp + 1);
            std::size_t i = 0;
            while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9')
                x.status = x.status * 10 + (rest[i++] - '0');
            x.reason = std::string(TrimHeaderLine(rest.substr(i)));
        }
        x.contentLength = -1;
        x.chunked = false;
        x.hasLocation = false;
        x.headers.clear();
        return n;
    }
    std::string_view trimmed = TrimHeaderLine(line);
    if (trimmed.empty()) {
        if (x.status >= 200 || x.status == 0) {
            if (!x.Guard([&] { x.BeginBody(); }))
                return 0;
        }
        return n;
    }
    std::size_t colon = trimmed.find(':');
    if (colon == std::string_view::npos)
        return n;
    std::string_view name = trimmed.substr(0, colon);
    std::string_view value = TrimHeaderLine(trimmed.substr(colon + 1));
    x.headers.emplace_back(name, value);
    if (name.size() == 14 && StartsWithNoCase(name, "content-length")) {
        x.contentLength = ParseContentLength(value);
    } else if (name.size() == 17 && StartsWithNoCase(name, "transfer-encoding")) {
        x.chunked = value.find("chunked") != std::string_view::npos;
    } else if (name.size() == 8 && StartsWithNoCase(name, "location")) {
        x.hasLocation = !value.empty();
    }
    return n;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto& x = *static_cast<Exchange*>(user);
    const size_t n = size * count;
    bool ok = x.Guard([&] {
        if (!x.bodyBegun)
            x.BeginBody();
        if (n == 0)
            return;
        if (x.bodyToSink && *x.sink)
            (*x.sink)(data, n);
        x.received += static_cast<std::int64_t>(n);
        if (x.events->OnProgress)
            x.events->OnProgress(x.received);
    });
    return ok ? n : CURL_WRITEFUNC_ERROR;
}

size_t OnUpload(char* buffer, size_t size, size_t count, void* user) {
    auto& x = *static_cast<Exchange*>(user);
    size_t n = std::min(size * count, x.upload->size() - x.uploaded);
    bool ok = x.Guard([&] {
        if (n == 0) {
            x.EndUpload();
            return;
        }
        std::memcpy(buffer, x.upload->data() + x.uploaded, n);
        x.uploaded += n;
        if (x.events->OnProgress)
            x.events->OnProgress(static_cast<std::int64_t>(x.uploaded));
        if (x.uploaded == x.upload->size())
            x.EndUpload();
    });
    return ok ? n : CURL_READFUNC_ABORT;
}

int OnTick(void* user, curl_off_t, curl_off_t downNow, curl_off_t, curl_off_t upNow) {
    auto& x = *static_cast<Exchange*>(user);
    if (x.failure)
        return 1;
    auto now = std::chrono::steady_clock::now();
    if (downNow != x.lastDown || upNow != x.lastUp) {
        x.lastDown = downNow;
        x.lastUp = upNow;
        x.lastActivity = now;
    } else if (now - x.lastActivity > x.stallTimeout) {
        x.stalled = true;
        return 1;
    }
    return 0;
}

template <class T> void Set(CURL* h, CURLoption option, T value) {
    if (curl_easy_setopt(h, option, value) != CURLE_OK)
        throw Error("The HTTP library refused option " + std::to_string(static_cast<int>(option)));
}

} // namespace

// The easy handle carries the connections; the share carries the cookies, so that a POST can
// drop every open connection (by taking a fresh handle) and keep the cookies.
struct THttpClient::Handle {
    CURLSH* share = nullptr;
    CURL* easy = nullptr;
    char errors[CURL_ERROR_SIZE] = {};

    Handle() {
        GlobalInitOnce();
        share = curl_share_init();
        if (!share || curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE) != CURLSHE_OK)
            throw Error("The HTTP library could not create a cookie store");
        Renew();
    }
    ~Handle() {
        if (easy)
            curl_easy_cleanup(easy);
        curl_share_cleanup(share);
    }
    void Renew() {
        if (easy)
            curl_easy_cleanup(easy);
        easy = curl_easy_init();
        if (!easy)
            throw Error("The HTTP library could not create a connection handle");
    }
};

THttpClient::THttpClient() : handle_(std::make_unique<Handle>()) {}
THttpClient::~THttpClient() = default;

void THttpClient::Request(std::string url, const std::string* postBody, const BodySink& sink) {
    lastHeaders_.clear();
    for (int redirects = 0;; ++redirects) {
        const bool post = postBody != nullptr;
        const char* method = post ? "POST" : "GET";
        if (!IsHttpUrl(url))
            throw HttpError(std::string(method) + " \"" + url + "\": only http and https URLs are supported", false);

        if (post)
            handle_->Renew(); // a POST never rides on an earlier connection
        CURL* h = handle_->easy;
        curl_easy_reset(h);

        Exchange x;
        x.events = &events_;
        x.sink = &sink;
        x.stallTimeout = stallTimeout_;
        x.upload = postBody;

        handle_->errors[0] = '\0';
        Set(h, CURLOPT_SHARE, handle_->share);
        Set(h, CURLOPT_COOKIEFILE, ""); // cookie engine on, in memory only
        Set(h, CURLOPT_NOSIGNAL, 1L);
        Set(h, CURLOPT_ERRORBUFFER, handle_->errors);
        Set(h, CURLOPT_URL, url.c_str());
        Set(h, CURLOPT_PROTOCOLS_STR, "http,https");
        Set(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        Set(h, CURLOPT_FOLLOWLOCATION, 0L);
        Set(h, CURLOPT_PROXY, ""); // no proxy, whatever the environment says
        Set(h, CURLOPT_USERAGENT, kHttpUserAgent);
        Set(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
        Set(h, CURLOPT_SSL_VERIFYPEER, 1L);
        Set(h, CURLOPT_SSL_VERIFYHOST, 2L);
        if (tls_ && !tls_->CaFile.empty())
            Set(h, CURLOPT_CAINFO, tls_->CaFile.c_str());
        Set(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(stallTimeout_.count()));
        Set(h, CURLOPT_BUFFERSIZE, 65536L);
        Set(h, CURLOPT_HEADERFUNCTION, OnHeader);
        Set(h, CURLOPT_HEADERDATA, &x);
        Set(h, CURLOPT_WRITEFUNCTION, OnBody);
        Set(h, CURLOPT_WRITEDATA, &x);
        Set(h, CURLOPT_NOPROGRESS, 0L);
        Set(h, CURLOPT_XFERINFOFUNCTION, OnTick);
        Set(h, CURLOPT_XFERINFODATA, &x);

        curl_slist* headers = nullptr;
        if (post) {
            headers = curl_slist_append(headers, ("Content-Type: " + contentType_).c_str());
            headers = curl_slist_append(headers, "Expect:");
            Set(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
            Set(h, CURLOPT_POST, 1L);
            Set(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(postBody->size()));
            Set(h, CURLOPT_READFUNCTION, OnUpload);
            Set(h, CURLOPT_READDATA, &x);
            Set(h, CURLOPT_FORBID_REUSE, 1L);
            Set(h, CURLOPT_HTTPHEADER, headers);
        } else {
            Set(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
            Set(h, CURLOPT_HTTPGET, 1L);
        }

        CURLcode rc = CURLE_OK;
        x.Guard([&] {
            if (post)
                x.BeginUpload();
        });
        if (!x.failure)
            rc = curl_easy_perform(h);
        // Every series that began ends, also after a failure; the first failure is the one reported.
        for (auto end : {&Exchange::EndUpload, &Exchange::EndBody}) {
            try {
                (x.*end)();
            } catch (...) {
                if (!x.failure)
                    x.failure = std::current_exception();
            }
        }
        Set(h, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
        curl_slist_free_all(headers);

        const std::string where = std::string(method) + " \"" + url + "\"";
        if (x.failure)
            std::rethrow_exception(x.failure);
        if (x.stalled)
            throw HttpError(where + ": no data moved for " + std::to_string(stallTimeout_.count()) +
                                " ms; the transfer was given up",
                            x.status != 0);
        if (rc != CURLE_OK) {
            std::string detail = handle_->errors[0] ? std::string(handle_->errors) : std::string();
            std::string text = curl_easy_strerror(rc);
            throw HttpError(where + ": " + text + (detail.empty() || detail == text ? "" : " (" + detail + ")"),
                            x.status != 0);
        }

        long status = 0;
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
        char* next = nullptr;
        if (IsRedirectStatus(status) && curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &next) == CURLE_OK && next &&
            *next) {
            if (redirects + 1 > kMaxRedirects)
                throw HttpError(where + ": more than " + std::to_string(kMaxRedirects) + " redirects in a row", true);
            std::string target = next;
            if (!IsHttpUrl(target))
                throw HttpError(where + ": redirect to \"" + target + "\", which is not an http or https URL", true);
            if (post && status != 307 && status != 308)
                postBody = nullptr;
            url = std::move(target);
            continue;
        }
        lastStatus_ = static_cast<int>(status);
        lastHeaders_ = std::move(x.headers);
        if (status >= 400)
            throw HttpError(where + ": the server answered " + std::to_string(status) +
                                (x.reason.empty() ? "" : " " + x.reason),
                            true);
        return;
    }
}

} // namespace tw
