// The service protocol: request bodies on the wire, and the reading rules of the answers.
#include "net/service.h"

#include "base/percent.h"
#include "base/safePath.h"
#include "platform/error.h"
#include "reference_service.h"
#include "tarnwick_config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace tw;
using namespace tw::test;

TEST(ServiceProtocol, FormBodiesAreEncodedInOrder) {
    EXPECT_EQ(FormBody({{"c", "launcher"}, {"a", "gethomepageurl"}}), "c=launcher&a=gethomepageurl");
    EXPECT_EQ(FormBody({{"c", "launcher"}, {"a", "getupdate"}, {"version", "2.0.10.219"}}),
              "c=launcher&a=getupdate&version=2.0.10.219");
    EXPECT_EQ(FormBody({{"a b", "x&y=z"}, {"名", "100%+"}}), "a+b=x%26y%3Dz&%E5%90%8D=100%25%2B");
    EXPECT_EQ(FormEncode("*-._~/"), "*-._%7E%2F");
}

TEST(ServiceProtocol, RequestsGoOutByteForByte) {
    TempFolder root;
    ReferenceService service(root.Path());
    THttpClient http;
    http.SetContentType(kJsonContentType); // left so by a JSON-RPC call
    PostAction(http, service.Endpoint(), "gethomepageurl");
    PostAction(http, service.Endpoint(), "getupdate", {{"version", "2.0.10.219"}});
    PostAction(http, service.Endpoint(), "getWowFiles");
    auto r = service.Requests();
    ASSERT_EQ(r.size(), 3u);
    const char* bodies[] = {"c=launcher&a=gethomepageurl", "c=launcher&a=getupdate&version=2.0.10.219",
                            "c=launcher&a=getWowFiles"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(r[i]["method"], "POST");
        EXPECT_EQ(r[i]["target"], "/index.php");
        EXPECT_EQ(r[i]["version"], "HTTP/1.0");
        EXPECT_EQ(r[i]["body"], bodies[i]);
        EXPECT_EQ(ReferenceService::Header(r[i], "Content-Type"), kFormContentType);
        EXPECT_EQ(ReferenceService::Header(r[i], "Content-Length"), std::to_string(std::strlen(bodies[i])));
    }
}

TEST(ServiceProtocol, EndpointsComeFromTheEnvironment) {
    {
        ScopedEnv service("TARNWICK_SERVICE_URL", "http://127.0.0.1:1/index.php");
        ScopedEnv download("TARNWICK_DOWNLOAD_HOST", "http://127.0.0.1:2/");
        EXPECT_EQ(ServiceUrl(), "http://127.0.0.1:1/index.php");
        EXPECT_EQ(DownloadHost(), "http://127.0.0.1:2");
    }
    ScopedEnv service("TARNWICK_SERVICE_URL", "");
    ScopedEnv download("TARNWICK_DOWNLOAD_HOST", nullptr);
    EXPECT_EQ(ServiceUrl(), TARNWICK_DEFAULT_SERVICE_URL);
    EXPECT_EQ(DownloadHost() + "/", std::string(TARNWICK_DEFAULT_DOWNLOAD_HOST) + "/");
}

TEST(ReadingRules, ValuesReadAsTheReaderAsks) {
    const TAnswer a = TAnswer::Parse(R"({
        "data": " \t http://h/x \r\n", "n": 3, "s": "3", "neg": "-7", "frac": 2.9, "negfrac": -2.9,
        "t": true, "f": false, "bad": "3x", "blank": "", "spaced": " 3", "nul": null, "big": "99999999999",
        "obj": {"k": "v"}, "arr": [1, 2], "Data": "other", "fl": 1.5, "ctl": "\u0001a\u001f"})",
                                     "test");
    struct Row {
        const char* key;
        const char* text;
        std::int64_t integer;
    };
    const Row rows[] = {
        {"data", " \t http://h/x \r\n", 0},
        {"n", "3", 3},
        {"s", "3", 3},
        {"neg", "-7", -7},
        {"frac", "2.9", 2},
        {"negfrac", "-2.9", -2},
        {"t", "true", 1},
        {"f", "false", 0},
        {"bad", "3x", 0},
        {"blank", "", 0},
        {"spaced", " 3", 0},
        {"nul", "", 0},
        {"missing", "", 0},
        {"DATA", "", 0}, // keys match exactly
        {"big", "99999999999", 99999999999},
        {"fl", "1.5", 1},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(a.Text(row.key), row.text) << row.key;
        EXPECT_EQ(a.Integer(row.key), row.integer) << row.key;
    }
    EXPECT_EQ(a.Trimmed("data"), "http://h/x");
    EXPECT_EQ(a.Trimmed("ctl"), "a");
    EXPECT_EQ(a.Int32("big"), 2147483647);
    EXPECT_EQ(a.Text("obj"), R"({"k":"v"})");
    EXPECT_EQ(a.Object("obj").Text("k"), "v");
    EXPECT_EQ(a.Object("missing").Integer("x"), 0) << "a missing object reads as empty";
    EXPECT_EQ(a.Count("missing"), 0u);
    EXPECT_EQ(a.Count("arr"), 2u);
    EXPECT_THROW(a.Object("n"), Error);
    EXPECT_THROW(a.Count("n"), Error);
    EXPECT_THROW(a.Entry("arr", 0), Error) << "an entry that is not an object";
}

TEST(ReadingRules, ListsAndMisshapedAnswers) {
    const TAnswer a = TAnswer::Parse(
        R"({"count": "2", "downlist": [{"url": "u0", "filename": "f0", "MD5": " ab "}, {"url": "u1"}]})", "getPatches");
    EXPECT_EQ(a.Int32("count"), 2);
    EXPECT_EQ(a.Entry("downlist", 0).Text("MD5"), " ab ");
    EXPECT_EQ(a.Entry("downlist", 1).Text("filename"), "");
    try {
        a.Entry("downlist", 2);
        FAIL() << "a read beyond the end raises";
    } catch (const Error& e) {
        EXPECT_THAT(e.what(), ::testing::HasSubstr("getPatches"));
    }
    EXPECT_EQ(TAnswer::Parse(R"({"downlist": []})", "x").Count("downlist"), 0u);
    EXPECT_EQ(TAnswer::Parse("{}", "x").Text("data"), "");
    for (const char* text : {"[1,2]", "\"text\"", "3", "null", "", "{", "<html>", "{\"a\":1} x"})
        EXPECT_THROW(TAnswer::Parse(text, "x"), Error) << text;
}

// Services hosted in China may answer in GBK, or with stray bytes; such an answer is read, not
// refused: as GBK when the whole body is GBK, else with U+FFFD for each invalid sequence.
TEST(ReadingRules, AnswersThatAreNotUtf8AreRead) {
    const std::string r = "\xEF\xBF\xBD"; // U+FFFD
    const std::vector<std::pair<std::string, std::string>> cases{
        {"服务器", "服务器"},
        {"\\t\xB7\xFE\xCE\xF1\xC6\xF7.\xD6\xD0\xB9\xFA ", "服务器.中国"}, // GBK, trimmed
        {"ab\xFF", "ab" + r},                                             // a lone 0xFF
        {"服\xFF务", "服" + r + "务"},
        {"\xF0\x9F\x98", r},                                 // a cut sequence: one U+FFFD
        {"\xC0\xAF\xED\xA0\x80\xFF", r + r + r + r + r + r}, // overlong, surrogate: each byte
    };
    for (const auto& [data, expected] : cases)
        EXPECT_EQ(TAnswer::Parse("{\"data\":\"" + data + "\"}", "getwowhost").Trimmed("data"), expected) << data;
    for (const char* text : {"\xB7\xFE\xCE\xF1", "<html>\xFF</html>", "{\"a\":\xFF}"})
        EXPECT_THROW(TAnswer::Parse(text, "x"), Error) << text;
}

TEST(Percentages, RoundHalvesToEven) {
    EXPECT_EQ(PercentHalfEven(1, 8), 12); // 12.5
    EXPECT_EQ(PercentHalfEven(3, 8), 38); // 37.5
    EXPECT_EQ(PercentHalfEven(5, 8), 62); // 62.5
    EXPECT_EQ(PercentHalfEven(7, 8), 88); // 87.5
    EXPECT_EQ(RoundHalfEven(2.5), 2);
    EXPECT_EQ(RoundHalfEven(3.5), 4);
    EXPECT_EQ(RoundHalfEven(2.5000001), 3);
    EXPECT_EQ(RoundHalfEven(-0.5), 0);
    EXPECT_EQ(PercentHalfEven(1, 3), 33);
    EXPECT_EQ(PercentHalfEven(2, 3), 67);
    EXPECT_EQ(PercentHalfEven(0, 10), 0);
    EXPECT_EQ(PercentHalfEven(10, 10), 100);
    EXPECT_EQ(PercentHalfEven(5, 0), -1);
    EXPECT_EQ(PercentHalfEven(std::int64_t{3} << 40, std::int64_t{4} << 40), 75);
}

TEST(UpdateProgramName, OnlyBareNames) {
    for (const char* good : {"setup.exe", "新版本.exe", "a b.sh", ".hidden", "x..y"})
        EXPECT_TRUE(IsPlainFileName(good)) << good;
    for (const char* bad : {"", ".", "..", "../x", "a/b", "a\\b", "C:x", "/abs"})
        EXPECT_FALSE(IsPlainFileName(bad)) << bad;
}
