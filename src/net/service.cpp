#include "net/service.h"

#include "base/text.h"
#include "platform/error.h"
#include "platform/shell.h"
#include "tarnwick_config.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace tw {

namespace {

std::string FromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : std::string(fallback);
}

const nlohmann::json& EmptyList() {
    static const nlohmann::json empty = nlohmann::json::array();
    return empty;
}

// A whole decimal number with an optional sign, nothing else; 0 otherwise (and when too large).
std::int64_t ParseDecimal(const std::string& text) {
    std::string_view s(text);
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size())
        return 0;
    return value;
}

// Code page of the bodies that are not UTF-8: GBK.
constexpr unsigned kNonUtf8AnswerCodePage = 936;

// The UTF-8 sequence at the start of `s`: its length when it is valid, else 0 with `bad` set to
// the bytes that one U+FFFD replaces (a lead byte and the continuation bytes that fitted it, or
// one byte that cannot start a sequence). Overlong forms, surrogates and values beyond U+10FFFF
// are not valid.
std::size_t Utf8Sequence(std::string_view s, std::size_t& bad) {
    const auto b = static_cast<unsigned char>(s[0]);
    bad = 1;
    if (b < 0x80)
        return 1;
    std::size_t need;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        if (b == 0xE0)
            low = 0xA0;
        else if (b == 0xED)
            high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        if (b == 0xF0)
            low = 0x90;
        else if (b == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k <= need; ++k) {
        const auto c = k < s.size() ? static_cast<unsigned char>(s[k]) : 0;
        if (k >= s.size() || c < low || c > high) {
            bad = k;
            return 0;
        }
        low = 0x80;
        high = 0xBF;
    }
    return need + 1;
}

} // namespace

std::string AnswerText(std::string_view body) {
    std::size_t bad = 0;
    std::size_t i = 0;
    for (std::size_t n; i < body.size() && (n = Utf8Sequence(body.substr(i), bad)) > 0;)
        i += n;
    if (i == body.size())
        return std::string(body);
    std::string text;
    if (platform::DecodeCodePage(std::string(body), kNonUtf8AnswerCodePage, text))
        return text;
    text.assign(body.substr(0, i));
    while (i < body.size()) {
        if (const std::size_t n = Utf8Sequence(body.substr(i), bad); n > 0) {
            text.append(body.substr(i, n));
            i += n;
        } else {
            AppendUtf8(text, 0xFFFD);
            i += bad;
        }
    }
    return text;
}

std::string ServiceUrl() {
    return FromEnvironment("TARNWICK_SERVICE_URL", TARNWICK_DEFAULT_SERVICE_URL);
}

std::string DownloadHost() {
    std::string host = FromEnvironment("TARNWICK_DOWNLOAD_HOST", TARNWICK_DEFAULT_DOWNLOAD_HOST);
    while (!host.empty() && host.back() == '/')
        host.pop_back();
    return host;
}

std::string FormEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '*' || c == '-' ||
            c == '.' || c == '_') {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string FormBody(const FormFields& fields) {
    std::string body;
    for (const auto& [name, value] : fields) {
        if (!body.empty())
            body += '&';
        body += FormEncode(name) + '=' + FormEncode(value);
    }
    return body;
}

std::string PostAction(THttpClient& http, const std::string& endpoint, const std::string& action,
                       const FormFields& extra) {
    FormFields fields{{"c", "launcher"}, {"a", action}};
    fields.insert(fields.end(), extra.begin(), extra.end());
    return http.PostForm(endpoint, FormBody(fields));
}

std::string TrimControls(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 0x20)
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 0x20)
        text.remove_suffix(1);
    return std::string(text);
}

TAnswer TAnswer::Parse(const std::string& text, const std::string& what) {
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(AnswerText(text));
    } catch (const nlohmann::json::exception& e) {
        throw AnswerError("The answer to " + what + " is not JSON: " + e.what());
    }
    if (!j.is_object())
        throw AnswerError("The answer to " + what + " is not a JSON object");
    return TAnswer(std::move(j), what);
}

const nlohmann::json* TAnswer::Find(const std::string& key) const {
    auto it = json_.find(key);
    if (it == json_.end() || it->is_null())
        return nullptr;
    return &*it;
}

std::string TAnswer::Text(const std::string& key) const {
    const nlohmann::json* v = Find(key);
    if (!v)
        return {};
    if (v->is_string())
        return v->get<std::string>();
    if (v->is_boolean())
        return v->get<bool>() ? "true" : "false";
    if (v->is_number_integer())
        return v->is_number_unsigned() ? std::to_string(v->get<std::uint64_t>())
                                       : std::to_string(v->get<std::int64_t>());
    return v->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::int64_t TAnswer::Integer(const std::string& key) const {
    const nlohmann::json* v = Find(key);
    if (!v)
        return 0;
    if (v->is_string())
        return ParseDecimal(v->get<std::string>());
    if (v->is_boolean())
        return v->get<bool>() ? 1 : 0;
    if (v->is_number_unsigned()) {
        auto u = v->get<std::uint64_t>();
        return u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                   ? std::numeric_limits<std::int64_t>::max()
                   : static_cast<std::int64_t>(u);
    }
    if (v->is_number_integer())
        return v->get<std::int64_t>();
    if (v->is_number_float()) {
        double d = std::trunc(v->get<double>());
        if (d >= 9.2e18)
            return std::numeric_limits<std::int64_t>::max();
        if (d <= -9.2e18)
            return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(d);
    }
    return 0;
}

std::int32_t TAnswer::Int32(const std::string& key) const {
    std::int64_t v = Integer(key);
    if (v > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (v < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(v);
}

TAnswer TAnswer::Object(const std::string& key) const {
    const nlohmann::json* v = Find(key);
    if (!v)
        return TAnswer(nlohmann::json::object(), what_ + "." + key);
    if (!v->is_object())
        throw AnswerError("In the answer to " + what_ + ", \"" + key + "\" is not an object");
    return TAnswer(*v, what_ + "." + key);
}

const nlohmann::json& TAnswer::List(const std::string& key) const {
    const nlohmann::json* v = Find(key);
    if (!v)
        return EmptyList();
    if (!v->is_array())
        throw AnswerError("In the answer to " + what_ + ", \"" + key + "\" is not a list");
    return *v;
}

std::size_t TAnswer::Count(const std::string& key) const {
    return List(key).size();
}

TAnswer TAnswer::Entry(const std::string& key, std::size_t index) const {
    const nlohmann::json& list = List(key);
    if (index >= list.size())
        throw AnswerError("The answer to " + what_ + " has no entry " + std::to_string(index) + " in \"" + key +
                          "\" (it has " + std::to_string(list.size()) + ")");
    if (!list[index].is_object())
        throw AnswerError("In the answer to " + what_ + ", entry " + std::to_string(index) + " of \"" + key +
                          "\" is not an object");
    return TAnswer(list[index], what_ + "." + key + "[" + std::to_string(index) + "]");
}

} // namespace tw
