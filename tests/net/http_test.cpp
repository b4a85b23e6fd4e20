// The HTTP client against the reference service on 127.0.0.1.
#include "net/http.h"

#include "platform/error.h"
#include "reference_service.h"
#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

using namespace tw;
using namespace tw::test;
using nlohmann::json;
using ::testing::HasSubstr;

namespace {

// Every event the client fired, as "begin N", "progress N", "end".
struct EventLog {
    std::vector<std::string> lines;
    TTransferEvents Events() {
        return {[this](std::int64_t t) { lines.push_back("begin " + std::to_string(t)); },
                [this](std::int64_t d) { lines.push_back("progress " + std::to_string(d)); },
                [this] { lines.push_back("end"); }};
    }
    // The series as "begin N..end" with the last progress value: "N:last".
    std::vector<std::string> Series() const {
        std::vector<std::string> out;
        std::string cur;
        std::string last = "-";
        for (const auto& l : lines) {
            if (l.rfind("begin ", 0) == 0) {
                EXPECT_TRUE(cur.empty()) << "begin inside a series";
                cur = l.substr(6);
                last = "-";
            } else if (l.rfind("progress ", 0) == 0) {
                EXPECT_FALSE(cur.empty()) << "progress outside a series";
                last = l.substr(9);
            } else {
                EXPECT_FALSE(cur.empty()) << "end without begin";
                out.push_back(cur + ":" + last);
                cur.clear();
            }
        }
        EXPECT_TRUE(cur.empty()) << "a series without its end";
        return out;
    }
};

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "(no error)";
}

class HttpTest : public ::testing::Test {
protected:
    TempFolder root{"tarnwick-root"};
    void SetUp() override {
        WritePatternFile(root / "client/big.bin", 300'000);
        WriteBytes(root / "client/small.txt", "hello");
        service = std::make_unique<ReferenceService>(root.Path());
    }
    std::unique_ptr<ReferenceService> service;
};

} // namespace

TEST_F(HttpTest, WireFormatOfGetsAndPosts) {
    THttpClient http;
    EXPECT_EQ(http.Get(service->Url("/files/client/small.txt")), "hello");
    EXPECT_EQ(http.Get(service->Url("/files/client/small.txt")), "hello");
    std::string answer = http.PostForm(service->Endpoint(), "c=launcher&a=getwowhost");
    EXPECT_EQ(answer, R"({"data":"127.0.0.1"})");
    EXPECT_EQ(http.Get(service->Url("/files/client/small.txt")), "hello");
    http.PostJson(service->Url("/files/client/small.txt"), R"({"jsonrpc":"2.0"})");
    http.Post(service->Url("/files/client/small.txt"), "x"); // keeps the type last set

    auto r = service->Requests();
    ASSERT_EQ(r.size(), 6u);
    for (const auto& q : r)
        EXPECT_EQ(ReferenceService::Header(q, "User-Agent"), kHttpUserAgent);
    EXPECT_EQ(r[0]["method"], "GET");
    EXPECT_EQ(r[0]["version"], "HTTP/1.1");
    EXPECT_EQ(ReferenceService::Header(r[0], "Content-Type"), "");
    EXPECT_EQ(r[0]["remote_port"], r[1]["remote_port"]) << "GETs reuse the connection";

    EXPECT_EQ(r[2]["method"], "POST");
    EXPECT_EQ(r[2]["version"], "HTTP/1.0");
    EXPECT_EQ(r[2]["body"], "c=launcher&a=getwowhost");
    EXPECT_EQ(ReferenceService::Header(r[2], "Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(ReferenceService::Header(r[2], "Content-Length"), "23");
    EXPECT_EQ(ReferenceService::Header(r[2], "Expect"), "");
    EXPECT_NE(r[3]["remote_port"], r[2]["remote_port"]) << "the POST's connection was closed";
    EXPECT_EQ(r[3]["version"], "HTTP/1.1");

    EXPECT_EQ(ReferenceService::Header(r[4], "Content-Type"), "application/json");
    EXPECT_EQ(r[4]["body"], R"({"jsonrpc":"2.0"})");
    EXPECT_EQ(ReferenceService::Header(r[5], "Content-Type"), "application/json");
    EXPECT_EQ(http.ContentType(), kJsonContentType);
}

TEST_F(HttpTest, APostTakesAConnectionOfItsOwn) {
    THttpClient http;
    http.Get(service->Url("/files/client/small.txt"));
    http.PostForm(service->Endpoint(), "c=launcher&a=getwowhost");
    http.Get(service->Url("/files/client/small.txt"));
    auto r = service->Requests();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_NE(r[1]["remote_port"], r[0]["remote_port"]) << "not the GET's idle connection";
    EXPECT_NE(r[2]["remote_port"], r[0]["remote_port"]) << "the POST closed the earlier connection";
}

TEST_F(HttpTest, OneEventSeriesPerBodyAndDirection) {
    THttpClient http;
    EventLog log;
    http.SetEvents(log.Events());
    TempFolder out;
    {
        std::ofstream file(out / "big.bin", std::ios::binary);
        http.Get(service->Url("/files/client/big.bin"), file);
    }
    EXPECT_EQ(ReadBytes(out / "big.bin"), ReadBytes(root / "client/big.bin"));
    EXPECT_EQ(log.Series(), (std::vector<std::string>{"300000:300000"}));
    // The running totals only grow.
    std::int64_t last = 0;
    for (const auto& l : log.lines)
        if (l.rfind("progress ", 0) == 0) {
            std::int64_t v = std::stoll(l.substr(9));
            EXPECT_GT(v, last);
            last = v;
        }

    log.lines.clear();
    std::string answer = http.PostForm(service->Endpoint(), "c=launcher&a=getwowhost");
    EXPECT_EQ(log.Series(),
              (std::vector<std::string>{"23:23", std::to_string(answer.size()) + ":" + std::to_string(answer.size())}));

    // No announced length: the begin event carries 0; an empty body still has its series.
    service->SetKnobs({{"paths", {{"/files/client/small.txt", {{"no_length", true}}}}}});
    log.lines.clear();
    EXPECT_EQ(http.Get(service->Url("/files/client/small.txt")), "hello");
    EXPECT_EQ(log.Series(), (std::vector<std::string>{"0:5"}));
    service->SetKnobs({{"paths", {{"/files/client/small.txt", {{"body", ""}}}}}});
    log.lines.clear();
    EXPECT_EQ(http.Get(service->Url("/files/client/small.txt")), "");
    EXPECT_EQ(log.Series(), (std::vector<std::string>{"0:-"}));
}

TEST_F(HttpTest, RedirectsAreFollowedFifteenTimesAtMost) {
    THttpClient http;
    EventLog log;
    http.SetEvents(log.Events());
    service->SetKnobs({{"paths", {{"/files/client/small.txt", {{"redirects", 15}}}}}});
    TempFolder out;
    {
        std::ofstream file(out / "small.txt", std::ios::binary);
        http.Get(service->Url("/files/client/small.txt"), file);
    }
    EXPECT_EQ(ReadBytes(out / "small.txt"), "hello") << "redirect bodies never reach the file";
    auto series = log.Series();
    ASSERT_EQ(series.size(), 16u) << "one series per answer body, the redirects' included";
    EXPECT_EQ(series.front(), "11:11"); // "redirect 1\n"
    EXPECT_EQ(series.back(), "5:5");
    EXPECT_EQ(service->Requests().size(), 16u);

    service->SetKnobs({{"paths", {{"/files/client/small.txt", {{"redirects", 16}}}}}});
    log.lines.clear();
    std::string url = service->Url("/files/client/small.txt");
    EXPECT_THAT(ErrorOf([&] { http.Get(url); }), HasSubstr("more than 15 redirects"));
    EXPECT_EQ(log.Series().size(), 16u);

    // A POST keeps its method and body through 307, becomes a GET through 302.
    service->SetKnobs({{"actions", {{"getwowhost", {{"redirects", 2}}}}}});
    EXPECT_EQ(http.PostForm(service->Endpoint(), "c=launcher&a=getwowhost"), R"({"data":"127.0.0.1"})");
    auto r = service->Requests();
    ASSERT_GE(r.size(), 3u);
    EXPECT_EQ(r.back()["method"], "POST");
    EXPECT_EQ(r.back()["version"], "HTTP/1.0");
    EXPECT_EQ(r.back()["body"], "c=launcher&a=getwowhost");
    service->SetKnobs(
        {{"paths", {{"/index.php", {{"redirect_to", "/files/client/small.txt"}, {"redirect_status", 302}}}}}});
    EXPECT_EQ(http.PostForm(service->Endpoint(), "c=launcher&a=nothing"), "hello");
    EXPECT_EQ(service->Requests().back()["method"], "GET");
}

TEST_F(HttpTest, OnlyHttpAndHttpsSchemes) {
    THttpClient http;
    EXPECT_THAT(ErrorOf([&] { http.Get("file:///etc/passwd"); }), HasSubstr("\"file:///etc/passwd\""));
    EXPECT_THAT(ErrorOf([&] { http.Get("ftp://127.0.0.1/x"); }), HasSubstr("only http and https"));
    EXPECT_THAT(ErrorOf([&] { http.Get("gopher://127.0.0.1/x"); }), HasSubstr("only http and https"));
    for (std::string target : {"file:///etc/passwd", "ftp://127.0.0.1/x", "dict://127.0.0.1:1/"}) {
        service->SetKnobs({{"paths", {{"/files/client/small.txt", {{"redirect_to", target}}}}}});
        std::string error = ErrorOf([&] { http.Get(service->Url("/files/client/small.txt")); });
        EXPECT_THAT(error, HasSubstr("not an http or https URL")) << target;
        EXPECT_THAT(error, HasSubstr(service->Url("/files/client/small.txt")));
    }
    service->SetKnobs(json::object());
    EXPECT_EQ(http.Get(std::string("HTTP://127.0.0.1:") + std::to_string(service->Port()) + "/files/client/small.txt"),
              "hello");
}

TEST_F(HttpTest, ErrorStatusesCutAndStalledBodiesRaise) {
    THttpClient http;
    EventLog log;
    http.SetEvents(log.Events());
    TempFolder out;
    const std::string url = service->Url("/files/client/big.bin");
    auto getInto = [&](const std::string& name) {
        std::ofstream file(out / name, std::ios::binary);
        http.Get(url, file);
    };

    for (int status : {404, 500}) {
        service->SetKnobs({{"paths", {{"/files/client/big.bin", {{"status", status}}}}}});
        std::string error = ErrorOf([&] { getInto("status.bin"); });
        EXPECT_THAT(error, HasSubstr(std::to_string(status)));
        EXPECT_THAT(error, HasSubstr(url));
        EXPECT_EQ(ReadBytes(out / "status.bin"), "") << "an error page is not the file";
        EXPECT_EQ(http.LastStatus(), status);
    }
    EXPECT_THAT(ErrorOf([&] { http.Get(service->Url("/nothing/here")); }), HasSubstr("404"));

    service->SetKnobs({{"paths", {{"/files/client/big.bin", {{"cut_after", 100'000}}}}}});
    log.lines.clear();
    EXPECT_THAT(ErrorOf([&] { getInto("cut.bin"); }), HasSubstr(url));
    EXPECT_EQ(ReadBytes(out / "cut.bin"), ReadBytes(root / "client/big.bin").substr(0, 100'000))
        << "what arrived stays in the file";
    EXPECT_EQ(log.Series(), (std::vector<std::string>{"300000:100000"}));
    EXPECT_THAT(service->Output(), HasSubstr("access: GET /files/client/big.bin 200 100000 "))
        << "the service logs the bytes it sent, not those it announced";

    http.SetStallTimeout(std::chrono::milliseconds(1500));
    service->SetKnobs({{"paths", {{"/files/client/big.bin", {{"stall_after", 50'000}, {"stall_ms", 20'000}}}}}});
    log.lines.clear();
    std::string error = ErrorOf([&] { getInto("stall.bin"); });
    EXPECT_THAT(error, HasSubstr("no data moved"));
    EXPECT_THAT(error, HasSubstr(url));
    EXPECT_EQ(ReadBytes(out / "stall.bin").size(), 50'000u);
    EXPECT_EQ(log.Series(), (std::vector<std::string>{"300000:50000"}));

    // A server that takes the request and never answers.
    service->SetKnobs({{"actions", {{"getwowhost", {{"delay_ms", 20'000}}}}}});
    EXPECT_THAT(ErrorOf([&] { http.PostForm(service->Endpoint(), "c=launcher&a=getwowhost"); }),
                HasSubstr("no data moved"));

    // Nobody listening.
    const std::string dead = "http://127.0.0.1:" + std::to_string(service->Port()) + "/index.php";
    service->Stop();
    EXPECT_THAT(ErrorOf([&] { http.PostForm(dead, "c=launcher&a=getwowhost"); }), HasSubstr(dead));
}

TEST_F(HttpTest, CookiesAreKeptForTheClientsLife) {
    THttpClient http;
    service->SetKnobs({{"paths", {{"/files/client/small.txt", {{"headers", {{"Set-Cookie", "sid=42; Path=/"}}}}}}}});
    http.Get(service->Url("/files/client/small.txt"));
    http.PostForm(service->Endpoint(), "c=launcher&a=getwowhost");
    http.Get(service->Url("/files/client/big.bin"));
    auto r = service->Requests();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(ReferenceService::Header(r[0], "Cookie"), "");
    EXPECT_EQ(ReferenceService::Header(r[1], "Cookie"), "sid=42");
    EXPECT_EQ(ReferenceService::Header(r[2], "Cookie"), "sid=42");

    THttpClient other;
    other.Get(service->Url("/files/client/big.bin"));
    EXPECT_EQ(ReferenceService::Header(service->Requests().back(), "Cookie"), "") << "cookies are per client";
}

TEST_F(HttpTest, HandlerExceptionsAbortTheTransferAndStillEndTheSeries) {
    THttpClient http;
    EventLog log;
    TTransferEvents events = log.Events();
    auto progress = events.OnProgress;
    events.OnProgress = [&](std::int64_t done) {
        progress(done);
        throw Error("stop here");
    };
    http.SetEvents(events);
    EXPECT_EQ(ErrorOf([&] { http.Get(service->Url("/files/client/big.bin")); }), "stop here");
    ASSERT_EQ(log.Series().size(), 1u);
    http.SetEvents(log.Events());
    EXPECT_EQ(http.Get(service->Url("/files/client/small.txt")), "hello") << "the client is usable afterwards";
}

TEST_F(HttpTest, TheServiceAnswersRangesForResumedDownloads) {
    const std::string url = service->Url("/files/client/big.bin");
    const std::string whole = ReadBytes(root / "client/big.bin");
    EXPECT_EQ(ShellOutput("curl -s -r 1000-1999 -w '%{http_code}' -o /dev/null '" + url + "'"), "206");
    EXPECT_EQ(ShellOutput("curl -s -r 1000-1999 '" + url + "'"), whole.substr(1000, 1000));
    EXPECT_EQ(ShellOutput("curl -s -r 299990- '" + url + "'"), whole.substr(299990));
    EXPECT_EQ(ShellOutput("curl -s -r 400000- -w '%{http_code}' -o /dev/null '" + url + "'"), "416");
}
