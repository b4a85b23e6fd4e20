// The HTTP transport on WinHTTP: one session per client (its cookie store and connection pool),
// redirects followed here, one request handle per hop.
#include "net/http.h"
#include "net/http_header.h"

#include "base/text.h"
#include "platform/error.h"

#include <windows.h>

#include <winhttp.h>

#include <algorithm>
#include <exception>

#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

namespace tw {

namespace {

std::wstring Wide(const std::string& s) {
    if (s.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(std::max(n, 0)), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
    return out;
}

std::string Narrow(const std::wstring& s) {
    if (s.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(n, 0)), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
    return out;
}

// The text of a WinHTTP or system error code.
std::string ErrorText(DWORD code) {
    if (code == ERROR_WINHTTP_CANNOT_CONNECT)
        return "Could not connect to the server";
    if (code == ERROR_WINHTTP_NAME_NOT_RESOLVED)
        return "Could not resolve the host name";
    if (code == ERROR_WINHTTP_SECURE_FAILURE || code == ERROR_WINHTTP_SECURE_INVALID_CA ||
        code == ERROR_WINHTTP_SECURE_CERT_CN_INVALID || code == ERROR_WINHTTP_SECURE_CERT_DATE_INVALID)
        return "The TLS handshake failed or the server's certificate is not trusted (error " + std::to_string(code) +
               ")";
    wchar_t* text = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM |
                        FORMAT_MESSAGE_FROM_HMODULE;
    const DWORD n =
        FormatMessageW(flags, GetModuleHandleW(L"winhttp.dll"), code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = n ? Narrow(std::wstring(text, n)) : std::string();
    if (text)
        LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message.empty() ? "network error " + std::to_string(code) : message;
}

class Internet {
public:
    Internet() = default;
    explicit Internet(HINTERNET h) : h_(h) {}
    Internet(const Internet&) = delete;
    Internet& operator=(const Internet&) = delete;
    ~Internet() {
        if (h_)
            WinHttpCloseHandle(h_);
    }
    HINTERNET get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    HINTERNET h_ = nullptr;
};

// The absolute URL a Location header names, seen from `base`.
std::string ResolveLocation(const std::string& base, const std::string& location) {
    const auto colon = location.find(':');
    const auto firstSlash = location.find('/');
    if (colon != std::string::npos && (firstSlash == std::string::npos || colon < firstSlash))
        return location; // has a scheme of its own
    const auto schemeEnd = base.find("://");
    const std::string scheme = base.substr(0, schemeEnd + 1);
    if (location.rfind("//", 0) == 0)
        return scheme + location;
    const auto pathStart = base.find('/', schemeEnd + 3);
    const std::string authority = base.substr(0, pathStart);
    if (!location.empty() && location[0] == '/')
        return authority + location;
    std::string path = pathStart == std::string::npos ? "/" : base.substr(pathStart);
    path = path.substr(0, path.find_first_of("?#"));
    if (!location.empty() && location[0] == '?')
        return authority + path + location;
    return authority + path.substr(0, path.rfind('/') + 1) + location;
}

// One hop's event series (see the contract in http.h).
struct Series {
    const TTransferEvents* events;
    bool begun = false;
    bool ended = false;
    void Begin(std::int64_t total) {
        begun = true;
        if (events->OnBegin)
            events->OnBegin(total);
    }
    void Progress(std::int64_t done) const {
        if (events->OnProgress)
            events->OnProgress(done);
    }
    void End() {
        if (begun && !ended) {
            ended = true;
            if (events->OnEnd)
                events->OnEnd();
        }
    }
};

} // namespace

struct THttpClient::Handle {
    Internet session;
    Handle()
        : session(WinHttpOpen(Wide(kHttpUserAgent).c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0)) {
        if (!session)
            throw Error("The HTTP library could not be initialised: " + ErrorText(GetLastError()));
        DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
        if (!WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
            protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2; // systems that know no TLS 1.3
            WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
        }
    }
};

THttpClient::THttpClient() : handle_(std::make_unique<Handle>()) {}
THttpClient::~THttpClient() = default;

void THttpClient::Request(std::string url, const std::string* postBody, const BodySink& sink) {
    // The system's certificate store decides on https; a CA file of the TLS handler cannot be
    // given to WinHTTP, so a server it alone vouches for is refused, never trusted wrongly.
    lastHeaders_.clear();
    const int stall = static_cast<int>(std::min<long long>(stallTimeout_.count(), 0x7FFFFFFF));
    WinHttpSetTimeouts(handle_->session.get(), stall, stall, stall, stall);
    for (int redirects = 0;; ++redirects) {
        const bool post = postBody != nullptr;
        const char* method = post ? "POST" : "GET";
        const std::string where = std::string(method) + " \"" + url + "\"";
        if (!IsHttpUrl(url))
            throw HttpError(where + ": only http and https URLs are supported", false);

        const std::wstring wideUrl = Wide(url);
        URL_COMPONENTS parts{};
        parts.dwStructSize = sizeof parts;
        parts.dwHostNameLength = static_cast<DWORD>(-1);
        parts.dwUrlPathLength = static_cast<DWORD>(-1);
        parts.dwExtraInfoLength = static_cast<DWORD>(-1);
        if (!WinHttpCrackUrl(wideUrl.c_str(), static_cast<DWORD>(wideUrl.size()), 0, &parts))
            throw HttpError(where + ": the URL is malformed", false);
        const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
        std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
        if (parts.lpszExtraInfo)
            object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
        // A fragment is the page's, never the server's.
        object = object.substr(0, object.find(L'#'));
        if (object.empty())
            object = L"/";
        const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

        Internet connection(WinHttpConnect(handle_->session.get(), host.c_str(), parts.nPort, 0));
        if (!connection)
            throw HttpError(where + ": " + ErrorText(GetLastError()), false);
        // A POST goes out as HTTP/1.0 and its connection is closed after the answer.
        Internet request(WinHttpOpenRequest(connection.get(), post ? L"POST" : L"GET", object.c_str(),
                                            post ? L"HTTP/1.0" : nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
        if (!request)
            throw HttpError(where + ": " + ErrorText(GetLastError()), false);
        DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
        // The wait for the answer's head has a limit of its own, which the session's time-outs
        // do not set: a server that takes the request and never answers would hold the worker.
        DWORD headWait = static_cast<DWORD>(stall);
        WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headWait, sizeof headWait);
        if (post) {
            DWORD noKeepAlive = WINHTTP_DISABLE_KEEP_ALIVE;
            WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noKeepAlive, sizeof noKeepAlive);
        }

        Series upload{&events_};
        Series body{&events_};
        std::exception_ptr failure;
        DWORD status = 0;
        std::string reason;
        std::vector<std::pair<std::string, std::string>> headers;
        DWORD networkError = 0;
        std::string cutShort;
        std::string location;
        try {
            std::wstring extra;
            if (post)
                extra = L"Content-Type: " + Wide(contentType_) + L"\r\n";
            const DWORD total = post ? static_cast<DWORD>(postBody->size()) : 0;
            if (post)
                upload.Begin(static_cast<std::int64_t>(postBody->size()));
            bool ok =
                WinHttpSendRequest(request.get(), extra.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : extra.c_str(),
                                   extra.empty() ? 0 : static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0, total, 0);
            std::size_t sent = 0;
            while (ok && post && sent < postBody->size()) {
                const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(postBody->size() - sent, 65536));
                DWORD written = 0;
                ok = WinHttpWriteData(request.get(), postBody->data() + sent, chunk, &written) && written > 0;
                sent += written;
                if (ok)
                    upload.Progress(static_cast<std::int64_t>(sent));
            }
            if (ok)
                upload.End();
            ok = ok && WinHttpReceiveResponse(request.get(), nullptr);
            if (!ok) {
                networkError = GetLastError();
            } else {
                DWORD size = sizeof status;
                WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                    WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
                DWORD bytes = 0;
                WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                                    nullptr, &bytes, WINHTTP_NO_HEADER_INDEX);
                std::wstring raw(bytes / sizeof(wchar_t) + 1, L'\0');
                if (bytes &&
                    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                                        raw.data(), &bytes, WINHTTP_NO_HEADER_INDEX))
                    raw.resize(bytes / sizeof(wchar_t));
                else
                    raw.clear();
                const std::string text = Narrow(raw);
                std::int64_t contentLength = -1;
                bool chunked = false;
                std::size_t start = 0;
                bool first = true;
                while (start < text.size()) {
                    std::size_t end = text.find('\n', start);
                    if (end == std::string::npos)
                        end = text.size();
                    std::string_view line = TrimHeaderLine(std::string_view(text).substr(start, end - start));
                    start = end + 1;
                    if (first) {
                        // "HTTP/1.1 200 OK": the reason follows the code.
                        first = false;
                        const auto sp = line.find(' ');
                        const auto sp2 = sp == std::string_view::npos ? sp : line.find(' ', sp + 1);
                        if (sp2 != std::string_view::npos)
                            reason = std::string(TrimHeaderLine(line.substr(sp2 + 1)));
                        continue;
                    }
                    const auto colon = line.find(':');
                    if (line.empty() || colon == std::string_view::npos)
                        continue;
                    const std::string_view name = line.substr(0, colon);
                    const std::string_view value = TrimHeaderLine(line.substr(colon + 1));
                    headers.emplace_back(name, value);
                    if (EqualsNoCase(name, "content-length")) {
                        contentLength = ParseContentLength(value);
                    } else if (EqualsNoCase(name, "transfer-encoding")) {
                        chunked = value.find("chunked") != std::string_view::npos;
                    } else if (EqualsNoCase(name, "location")) {
                        location = std::string(value);
                    }
                }
                const bool toSink = !(IsRedirectStatus(static_cast<long>(status)) && !location.empty()) && status < 400;
                body.Begin(contentLength > 0 && !chunked ? contentLength : 0);
                std::vector<char> buffer(65536);
                std::int64_t received = 0;
                for (;;) {
                    // Asking what is there first: a read of a whole buffer would wait for all of
                    // it, and what arrived before a stall would never reach the sink.
                    DWORD available = 0;
                    DWORD n = 0;
                    if (!WinHttpQueryDataAvailable(request.get(), &available) ||
                        (available > 0 &&
                         !WinHttpReadData(request.get(), buffer.data(),
                                          std::min(available, static_cast<DWORD>(buffer.size())), &n))) {
                        networkError = GetLastError();
                        break;
                    }
                    if (n == 0)
                        break;
                    if (toSink && sink)
                        sink(buffer.data(), n);
                    received += n;
                    body.Progress(received);
                }
                // WinHTTP ends a body that the server cut short as if it were whole.
                if (networkError == 0 && !chunked && contentLength >= 0 && received != contentLength)
                    cutShort = "the answer ended after " + std::to_string(received) + " of its " +
                               std::to_string(contentLength) + " bytes";
            }
        } catch (...) {
            failure = std::current_exception();
        }
        // Every series that began ends, also after a failure; the first failure is the one reported.
        for (Series* s : {&upload, &body}) {
            try {
                s->End();
            } catch (...) {
                if (!failure)
                    failure = std::current_exception();
            }
        }
        if (failure)
            std::rethrow_exception(failure);
        // Wine reports a stalled read with the socket's own time-out code.
        if (networkError == ERROR_WINHTTP_TIMEOUT || networkError == WSAETIMEDOUT)
            throw HttpError(where + ": no data moved for " + std::to_string(stallTimeout_.count()) +
                                " ms; the transfer was given up",
                            status != 0);
        if (networkError != 0)
            throw HttpError(where + ": " + ErrorText(networkError), status != 0);
        if (!cutShort.empty())
            throw HttpError(where + ": " + cutShort, true);

        if (IsRedirectStatus(static_cast<long>(status)) && !location.empty()) {
            if (redirects + 1 > kMaxRedirects)
                throw HttpError(where + ": more than " + std::to_string(kMaxRedirects) + " redirects in a row", true);
            std::string target = ResolveLocation(url, location);
            if (!IsHttpUrl(target))
                throw HttpError(where + ": redirect to \"" + target + "\", which is not an http or https URL", true);
            if (post && status != 307 && status != 308)
                postBody = nullptr;
            url = std::move(target);
            continue;
        }
        lastStatus_ = static_cast<int>(status);
        lastHeaders_ = std::move(headers);
        if (status >= 400)
            throw HttpError(
                where + ": the server answered " + std::to_string(status) + (reason.empty() ? "" : " " + reason), true);
        return;
    }
}

} // namespace tw
