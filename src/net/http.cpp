#include "net/http.h"

#include "base/text.h"

#include <ostream>

namespace tw {

bool IsHttpUrl(const std::string& url) {
    return (StartsWithNoCase(url, "http://") && url.size() > 7) ||
           (StartsWithNoCase(url, "https://") && url.size() > 8);
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

} // namespace tw
