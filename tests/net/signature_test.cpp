// Signed answers: the strict base64 of keys and signatures, the verifier, and the reference
// service's keygen and signing, checked against each other over the wire.
#include "net/signature.h"

#include "net/http.h"
#include "net/service.h"
#include "reference_service.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace tw;
using namespace tw::test;
using nlohmann::json;

TEST(Base64, RoundTripsAndAcceptsOnlyTheOneText) {
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    for (std::size_t n : {0u, 1u, 2u, 3u, 32u, 64u, 256u}) {
        std::string back;
        ASSERT_TRUE(DecodeBase64(EncodeBase64(bytes.substr(0, n)), back)) << n;
        EXPECT_EQ(back, bytes.substr(0, n)) << n;
    }
    EXPECT_EQ(EncodeBase64("\xfb\xff"), "+/8=");
    for (const char* bad : {"QQ", "QQ=", "QR==", "QUI=QUI=", "Q===", "QUJD\n", " QUJD", "QU-D", "QU_D", "QUJ*"}) {
        std::string out;
        EXPECT_FALSE(DecodeBase64(bad, out)) << bad;
    }
}

TEST(AnswerVerifier, OnlyARaw32ByteKeyIsAKey) {
    EXPECT_FALSE(TAnswerVerifier("").Enabled());
    EXPECT_EQ(TAnswerVerifier().Verify("x", "anything", {}, UnixNow(), 0), 0u) << "no key, no check";
    const std::string key32 = EncodeBase64(std::string(32, '\x01'));
    EXPECT_TRUE(TAnswerVerifier(key32).Enabled());
    for (const std::string& bad : {EncodeBase64(std::string(31, '\x01')), EncodeBase64(std::string(33, '\x01')),
                                   key32.substr(0, 43), key32 + "\n", std::string("not a key")})
        EXPECT_THROW(TAnswerVerifier{bad}, Error) << bad;
}

class SignedService : public ::testing::Test {
protected:
    TempFolder keys, root;
    std::string publicKey = ReferenceService::Keygen(keys.Path());
    ReferenceService service{
        root.Path(), ReferenceService::Tls{}, {"--signing-key", HostPath(keys / "signing-key.pem")}};
    THttpClient http;

    // The body of an action's answer and its stamp headers.
    std::pair<std::string, AnswerStamp> Ask(const std::string& action) {
        std::string body = PostAction(http, service.Endpoint(), action);
        return {body, Stamp()};
    }
    AnswerStamp Stamp() const {
        return {http.LastHeader(kSignatureHeader), http.LastHeader(kSerialHeader), http.LastHeader(kExpiresHeader)};
    }
};

TEST_F(SignedService, KeygenMakesAPairThatSignsEveryAnswer) {
    ASSERT_EQ(publicKey.size(), 44u);
    EXPECT_EQ(ReadBytes(keys / "signing-key.pub"), publicKey + "\n");
    EXPECT_EQ(std::filesystem::status(keys / "signing-key.pem").permissions() & std::filesystem::perms::group_read,
              std::filesystem::perms::none)
        << "the private key is its owner's only";
    EXPECT_NE(Shell("'" + BuildDir() + "/service/tarnwick_service' keygen '" + keys.Path() + "' >/dev/null 2>&1"), 0)
        << "an existing key is never replaced";
    EXPECT_EQ(ReadBytes(keys / "signing-key.pub"), publicKey + "\n");

    const TAnswerVerifier verifier(publicKey);
    for (const char* action : {"gethomepageurl", "getwowhost", "getupdate", "getWowFiles", "getPatches"}) {
        auto [body, stamp] = Ask(action);
        EXPECT_NO_THROW(verifier.Verify(action, body, stamp, UnixNow(), 0)) << action;
    }
    const std::string conf = http.Get(service.Url("/apps/w02/aria2.conf"));
    const AnswerStamp confStamp = Stamp();
    EXPECT_NO_THROW(verifier.Verify("aria2.conf", conf, confStamp, UnixNow(), 0));

    // Another key's launcher trusts none of it.
    TempFolder other;
    EXPECT_THROW(
        TAnswerVerifier(ReferenceService::Keygen(other.Path())).Verify("aria2.conf", conf, confStamp, UnixNow(), 0),
        UnverifiedAnswer);
}

TEST_F(SignedService, EveryBadSignatureIsRefused) {
    const TAnswerVerifier verifier(publicKey);
    const std::string good = Ask("gethomepageurl").second.signature;
    const std::string otherBodys = Ask("getwowhost").second.signature;
    struct Case {
        const char* name;
        json knob;
    };
    const std::vector<Case> cases = {
        {"no header", {{"signature", ""}}},
        {"the header of another body", {{"signature", otherBodys}}},
        {"a truncated header", {{"signature", good.substr(0, 40)}}},
        {"a header that is not base64", {{"signature", "!" + good.substr(1)}}},
        {"a good header on a changed body", {{"altered_body", R"({"data":"http://127.0.0.2/"})"}}},
        {"the header twice", {{"headers", {{"x-tarnwick-signature", good}}}}},
    };
    for (const auto& c : cases) {
        service.SetKnobs({{"actions", {{"gethomepageurl", c.knob}}}});
        auto [body, stamp] = Ask("gethomepageurl");
        EXPECT_THROW(verifier.Verify("gethomepageurl", body, stamp, UnixNow(), 0), UnverifiedAnswer) << c.name;
    }
    service.SetKnobs(json::object());
    auto [body, stamp] = Ask("gethomepageurl");
    EXPECT_NO_THROW(verifier.Verify("gethomepageurl", body, stamp, UnixNow(), 0));
}

// The signature binds the answer to its action, its publish and its time: every header changed,
// missing or written otherwise, an answer to another action, an older serial and a lapsed expiry
// are refused, the last as expired.
TEST_F(SignedService, AnAnswerHoldsOnlyForItsRequestSerialAndTime) {
    const TAnswerVerifier verifier(publicKey);
    const auto [wowhost, wowhostStamp] = Ask("getwowhost");
    const auto [home, stamp] = Ask("gethomepageurl");
    const std::uint64_t serial = std::stoull(stamp.serial);
    const std::int64_t now = UnixNow();
    struct Case {
        const char* name;
        std::string action, body;
        AnswerStamp stamp;
        std::int64_t now;
        std::uint64_t lowest;
        int refused; // 0 taken, 1 not verified, 2 expired
    };
    auto with = [&](std::string AnswerStamp::*field, std::string value) {
        AnswerStamp s = stamp;
        s.*field = std::move(value);
        return s;
    };
    const std::string later = std::to_string(std::stoll(stamp.expires) + 86400);
    const std::vector<Case> cases = {
        {"as it came", "gethomepageurl", home, stamp, now, serial, 0},
        {"asked as another action", "getwowhost", home, stamp, now, 0, 1},
        {"another action's answer and stamp", "gethomepageurl", wowhost, wowhostStamp, now, 0, 1},
        {"a higher serial", "gethomepageurl", home, with(&AnswerStamp::serial, std::to_string(serial + 1)), now, 0, 1},
        {"a later expiry", "gethomepageurl", home, with(&AnswerStamp::expires, later), now, 0, 1},
        {"no serial", "gethomepageurl", home, with(&AnswerStamp::serial, ""), now, 0, 1},
        {"no expiry", "gethomepageurl", home, with(&AnswerStamp::expires, ""), now, 0, 1},
        {"a serial with a sign", "gethomepageurl", home, with(&AnswerStamp::serial, "+" + stamp.serial), now, 0, 1},
        {"an expiry with a blank", "gethomepageurl", home, with(&AnswerStamp::expires, stamp.expires + " "), now, 0, 1},
        {"a serial below the highest taken", "gethomepageurl", home, stamp, now, serial + 1, 1},
        {"within the clock leeway", "gethomepageurl", home, stamp, std::stoll(stamp.expires) + kClockLeewaySeconds, 0,
         0},
        {"past it", "gethomepageurl", home, stamp, std::stoll(stamp.expires) + kClockLeewaySeconds + 1, 0, 2},
    };
    for (const auto& c : cases) {
        try {
            EXPECT_EQ(verifier.Verify(c.action, c.body, c.stamp, c.now, c.lowest), serial) << c.name;
            EXPECT_EQ(c.refused, 0) << c.name;
        } catch (const ExpiredAnswer&) {
            EXPECT_EQ(c.refused, 2) << c.name;
        } catch (const UnverifiedAnswer&) {
            EXPECT_EQ(c.refused, 1) << c.name;
        }
    }
}
