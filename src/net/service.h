#pragma once
// The launcher service protocol: where the service is, how requests are written, and the one
// reader of its JSON answers (also used for aria2's JSON-RPC answers).
#include "net/http.h"
#include "platform/error.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tw {

// The service endpoint (the full index.php URL) and the download host (no trailing '/'): the
// environment variables TARNWICK_SERVICE_URL / TARNWICK_DOWNLOAD_HOST when set and not empty,
// else the build's defaults.
std::string ServiceUrl();
std::string DownloadHost();

using FormFields = std::vector<std::pair<std::string, std::string>>;
// application/x-www-form-urlencoded: letters, digits and "*-._" stay, a blank becomes '+',
// every other byte %XX.
std::string FormEncode(std::string_view text);
// name=value pairs, both parts encoded, joined by '&', in the given order.
std::string FormBody(const FormFields& fields);

// POSTs c=launcher&a=<action>[&<extra>...] as a form to `endpoint`; the answer body (UTF-8).
// Sets the client's content type to the form type first (the JSON-RPC calls change it).
std::string PostAction(THttpClient& http, const std::string& endpoint, const std::string& action,
                       const FormFields& extra = {});

// Every leading and trailing character at or below U+0020 removed.
std::string TrimControls(std::string_view text);

// An answer body as UTF-8 text. Valid UTF-8 stays as it is. A body that is not, but is valid GBK
// throughout (code page 936, what services hosted in China write when they are not UTF-8), is
// decoded as GBK; in any other body each invalid sequence becomes U+FFFD. Nothing is refused here.
std::string AnswerText(std::string_view body);

// An answer that cannot be read as the reader asks (not JSON, not an object, a member of another
// shape, an entry beyond the end of a list).
class AnswerError : public Error {
public:
    using Error::Error;
};

// One JSON object read by the service's reading rules. Keys match exactly. A missing key (or a
// null) reads as "", 0, an empty object or an empty list. Numbers read as text give their
// decimal text, true/false give "true"/"false"; as integers, text must be a whole decimal number
// (else 0), fractions are truncated, true/false give 1/0. What cannot be read raises AnswerError.
class TAnswer {
public:
    TAnswer() : json_(nlohmann::json::object()) {}
    // Reads `text` as AnswerText does, then raises AnswerError for malformed JSON and for a value
    // that is not an object. `what` names the answer in the message (the action or URL).
    static TAnswer Parse(const std::string& text, const std::string& what);

    std::string Text(const std::string& key) const;
    std::string Trimmed(const std::string& key) const { return TrimControls(Text(key)); }
    std::int64_t Integer(const std::string& key) const;
    // Integer() held to the 32-bit range.
    std::int32_t Int32(const std::string& key) const;
    // A member object (raises when the value is of another type).
    TAnswer Object(const std::string& key) const;
    // Length of a member list (raises when the value is not a list).
    std::size_t Count(const std::string& key) const;
    // Entry `index` of a member list; raises beyond its end and for an entry that is not an object.
    TAnswer Entry(const std::string& key, std::size_t index) const;

    const nlohmann::json& Json() const { return json_; }

private:
    explicit TAnswer(nlohmann::json object, std::string what) : json_(std::move(object)), what_(std::move(what)) {}
    const nlohmann::json* Find(const std::string& key) const;
    const nlohmann::json& List(const std::string& key) const;
    nlohmann::json json_;
    std::string what_;
};

} // namespace tw
