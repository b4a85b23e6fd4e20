#include "net/http.h"
#include "net/http_header.h"

#include "base/text.h"
#include "platform/error.h"
#include "platform/filestream.h"
#include "platform/fs.h"

#include <cerrno>
#include <ostream>

namespace tw {

bool IsHttpUrl(const std::string& url) {
    return (StartsWithNoCase(url, "http://") && url.size() > 7) ||
           (StartsWithNoCase(url, "https://") && url.size() > 8);
}

void GetIntoFile(THttpClient& http, const std::string& url, const std::string& path) {
    platform::FileStream file;
    if (!file.Create(path))
        RaiseSystemError("Cannot create file", path, errno);
    try {
        http.Get(url, [&](const char* data, std::size_t size) {
            if (file.Write(data, size) != static_cast<std::int64_t>(size))
                RaiseSystemError("Cannot write file", path, errno);
        });
        if (!file.Close())
            RaiseSystemError("Cannot write file", path, errno);
    } catch (...) {
        file.Close();
        platform::DeleteFile(path);
        throw;
    }
}

std::string THttpClient::LastHeader(std::string_view name) const {
    std::string value;
    for (const auto& [n, v] : lastHeaders_)
        if (EqualsNoCase(n, name))
            value += (value.empty() ? "" : ", ") + v;
    return value;
}

void THttpClient::Get(const std::string& url, const BodySink& sink) {
    Request(url, nullptr, sink);
}

void THttpClient::Get(const std::string& url, std::ostream& out) {
    Request(url, nullptr, [&](const char* data, std::size_t size) {
        out.write(data, static_cast<std::streamsize>(size));
        if (!out)
            throw Error("GET \"" + url + "\": the body could not be written to its file");
    });
}

std::string THttpClient::Get(const std::string& url) {
    std::string body;
    Request(url, nullptr, [&](const char* data, std::size_t size) { body.append(data, size); });
    return body;
}

std::string THttpClient::Post(const std::string& url, const std::string& body) {
    std::string answer;
    Request(url, &body, [&](const char* data, std::size_t size) { answer.append(data, size); });
    return answer;
}

std::string THttpClient::PostForm(const std::string& url, const std::string& body) {
    SetContentType(kFormContentType);
    return Post(url, body);
}

std::string THttpClient::PostJson(const std::string& url, const std::string& json) {
    SetContentType(kJsonContentType);
    return Post(url, json);
}

std::string_view TrimHeaderLine(std::string_view s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    return s;
}

bool IsRedirectStatus(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::int64_t ParseContentLength(std::string_view value) {
    if (value.empty())
        return -1;
    std::int64_t v = 0;
    for (char c : value) {
        if (c < '0' || c > '9' || v > (INT64_MAX - 9) / 10)
            return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

} // namespace tw
