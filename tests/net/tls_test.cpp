// https through the client: verified against a trust store, TLS 1.2 or newer, host name checked.
#include "net/http.h"

#include "platform/error.h"
#include "reference_service.h"
#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace tw;
using namespace tw::test;
using ::testing::HasSubstr;

namespace {

// A test CA and server certificates made with the openssl tool for this run only.
class Certificates {
public:
    Certificates() {
        const std::string d = dir.Path();
        const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        WriteBytes(dir / "ca.ext", "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n");
        Run("openssl req -x509 " + ec + " -keyout " + d + "ca.key -out " + d +
            "ca.pem -days 2 -subj '/CN=Tarnwick Test CA' -addext basicConstraints=critical,CA:TRUE "
            "-addext keyUsage=critical,keyCertSign,cRLSign");
        Issue("server", "IP:127.0.0.1");
        Issue("elsewhere", "DNS:elsewhere.example");
        Run("openssl req -x509 " + ec + " -keyout " + d + "self.key -out " + d +
            "self.pem -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1");
    }
    std::string Pem(const std::string& name) const { return dir / (name + ".pem"); }
    std::string Key(const std::string& name) const { return dir / (name + ".key"); }

private:
    void Issue(const std::string& name, const std::string& san) {
        const std::string d = dir.Path();
        WriteBytes(dir / (name + ".ext"), "subjectAltName=" + san + "\nbasicConstraints=CA:FALSE\n");
        Run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + d + name + ".key -out " +
            d + name + ".csr -subj /CN=" + name);
        Run("openssl x509 -req -in " + d + name + ".csr -CA " + d + "ca.pem -CAkey " + d +
            "ca.key -CAcreateserial -out " + d + name + ".pem -days 2 -extfile " + d + name + ".ext");
    }
    static void Run(const std::string& command) { ASSERT_EQ(Shell(command + " >/dev/null 2>&1"), 0) << command; }
    TempFolder dir{"tarnwick-tls"};
};

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "(no error)";
}

} // namespace

TEST(Tls, VerifiedAgainstTheTrustStoreWithItsHostName) {
    Certificates certs;
    TempFolder root;
    WriteBytes(root / "client/a.txt", "secret");
    TTlsHandler testCa;
    testCa.CaFile = certs.Pem("ca");

    {
        ReferenceService selfSigned(root.Path(), {certs.Pem("self"), certs.Key("self"), ""});
        THttpClient http; // the system's store
        std::string error = ErrorOf([&] { http.Get(selfSigned.Url("/files/client/a.txt")); });
        EXPECT_THAT(error, HasSubstr(selfSigned.Url("/files/client/a.txt")));
        EXPECT_THAT(error, HasSubstr("certificate"));
        http.SetIOHandler(&testCa);
        EXPECT_THAT(ErrorOf([&] { http.Get(selfSigned.Url("/files/client/a.txt")); }), HasSubstr("certificate"))
            << "a certificate that the CA did not issue";
    }
    {
        ReferenceService signed_(root.Path(), {certs.Pem("server"), certs.Key("server"), ""});
        THttpClient http;
        EXPECT_THAT(ErrorOf([&] { http.Get(signed_.Url("/files/client/a.txt")); }), HasSubstr("certificate"))
            << "the test CA is not in the system's store";
        http.SetIOHandler(&testCa);
        EXPECT_EQ(http.Get(signed_.Url("/files/client/a.txt")), "secret");
        EXPECT_EQ(http.PostForm(signed_.Endpoint(), "c=launcher&a=getwowhost"), R"({"data":"127.0.0.1"})");
    }
    {
        ReferenceService elsewhere(root.Path(), {certs.Pem("elsewhere"), certs.Key("elsewhere"), ""});
        THttpClient http;
        http.SetIOHandler(&testCa);
        std::string error = ErrorOf([&] { http.Get(elsewhere.Url("/files/client/a.txt")); });
        EXPECT_THAT(error, HasSubstr(elsewhere.Url("/files/client/a.txt")));
        EXPECT_THAT(error, HasSubstr("127.0.0.1")) << "the host name does not match";
    }
}

TEST(Tls, ProtocolsBeforeTls12AreRefused) {
    Certificates certs;
    TempFolder root;
    WriteBytes(root / "client/a.txt", "secret");
    TTlsHandler testCa;
    testCa.CaFile = certs.Pem("ca");
    for (std::string max : {"1.0", "1.1"}) {
        ReferenceService old(root.Path(), {certs.Pem("server"), certs.Key("server"), max});
        THttpClient http;
        http.SetIOHandler(&testCa);
        std::string error = ErrorOf([&] { http.Get(old.Url("/files/client/a.txt")); });
        EXPECT_THAT(error, HasSubstr(old.Url("/files/client/a.txt"))) << max;
        EXPECT_NE(error, "(no error)") << max;
    }
    ReferenceService current(root.Path(), {certs.Pem("server"), certs.Key("server"), "1.2"});
    THttpClient http;
    http.SetIOHandler(&testCa);
    EXPECT_EQ(http.Get(current.Url("/files/client/a.txt")), "secret");
}
