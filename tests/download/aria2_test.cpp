#include "aria2_port_lock.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "test_support.h"
#include "update/aria2.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <thread>

using namespace tw;
using tw::test::TempFolder;
using tw::test::WriteBytes;
namespace fs = std::filesystem;

namespace {

std::string CmdLine(platform::ProcessId pid) {
    std::string raw;
    platform::ReadFile("/proc/" + std::to_string(pid) + "/cmdline", raw);
    for (char& c : raw)
        if (c == '\0')
            c = ' ';
    return raw;
}

bool WaitFor(const std::function<bool()>& f) {
    return tw::test::WaitUntil(f, std::chrono::seconds(10));
}

} // namespace

TEST(Aria2Request, IsOneCompactObjectWithTheSecretAndAFreshId) {
    TAria2 aria2;
    auto a = nlohmann::ordered_json::parse(aria2.Request("aria2.getGlobalStat"));
    std::vector<std::string> keys;
    for (auto it = a.begin(); it != a.end(); ++it)
        keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"jsonrpc", "method", "id", "params"}));
    EXPECT_EQ(a["jsonrpc"], "2.0");
    EXPECT_EQ(a["method"], "aria2.getGlobalStat");
    int id = std::stoi(a["id"].get<std::string>());
    EXPECT_GE(id, 0);
    EXPECT_LE(id, 9998);
    EXPECT_EQ(aria2.Request("aria2.shutdown").find(' '), std::string::npos);
}

TEST(Aria2Process, StartsWithASecretOfItsOwnAndOnlyOurOnesAreEnded) {
    tw::test::Aria2PortLock portLock;
    TempFolder program, other;
    std::string down = program / "down/";
    fs::create_directories(down);
    WriteBytes(down + "aria2.conf", "enable-rpc=true\nrpc-listen-port=58012\ninput-file=d.lst\ndir=.\n");
    WriteBytes(down + "d.lst", "");

    ASSERT_TRUE(WaitFor([] { return !tw::test::PortBusy(58012); }));
    TAria2 aria2;
    std::string error;
    ASSERT_TRUE(aria2.Start(program.Path(), down, error)) << error;
    ASSERT_TRUE(WaitFor([&] { return aria2.Running(); }));
    std::string first = aria2.Secret();
    // The arguments show in /proc a moment after the start returns.
    ASSERT_TRUE(WaitFor([&] { return !CmdLine(aria2.Pid()).empty(); }));
    std::string cmd = CmdLine(aria2.Pid());
    EXPECT_NE(cmd.find("--conf-path=aria2-run.conf"), std::string::npos) << cmd;
    // Every local process may read a command line: the secret is in a file only we can read.
    EXPECT_EQ(cmd.find("rpc-secret"), std::string::npos) << cmd;
    EXPECT_EQ(cmd.find(first), std::string::npos) << cmd;
    struct stat st {};
    ASSERT_EQ(::stat((down + "aria2-run.conf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(tw::test::ReadBytes(down + "aria2-run.conf").find("\nrpc-secret=" + first + "\n"), std::string::npos);
    EXPECT_NE(cmd.find("--stop-with-process=" + std::to_string(platform::CurrentProcessId())), std::string::npos);
    EXPECT_NE(aria2.Request("aria2.getGlobalStat").find("token:" + first), std::string::npos);

    // A downloader that is not ours, in another folder, stays.
    std::string aria2c = TAria2::FindProgram(program.Path());
    auto bystander = platform::SpawnDetached(aria2c,
                                             {"--enable-rpc=true", "--rpc-listen-port=58013",
                                              "--stop-with-process=" + std::to_string(platform::CurrentProcessId())},
                                             other.Path());
    ASSERT_GT(bystander, 0);

    // A second start first waits for (here: ends) the one before.
    platform::ProcessId old = aria2.Pid();
    ASSERT_TRUE(aria2.Start(program.Path(), down, error, std::chrono::milliseconds(200))) << error;
    EXPECT_FALSE(platform::ProcessAlive(old));
    EXPECT_NE(aria2.Secret(), first);

    EndOurAria2Processes(down);
    EXPECT_TRUE(WaitFor([&] { return !aria2.Running(); }));
    EXPECT_TRUE(platform::ProcessAlive(bystander));
    platform::TerminateProcess(bystander);
}

TEST(Aria2Process, MissingProgramIsAClearError) {
    TempFolder program;
    const char* path = std::getenv("PATH");
    std::string saved = path ? path : "";
    ::setenv("PATH", program.Path().c_str(), 1);
    TAria2 aria2;
    std::string error;
    EXPECT_FALSE(aria2.Start(program.Path(), program.Path(), error));
    ::setenv("PATH", saved.c_str(), 1);
    EXPECT_NE(error.find("aria2c"), std::string::npos);
}
