#include "platform/instance.h"
#include "platform/process.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tw::platform {
namespace {

// A child process that takes the marker, tells the parent what it found, and then waits to be
// ended (optionally after starting a program of its own that outlives it).
struct Holder {
    pid_t pid = -1;
    bool found = false;
    long spawned = -1; // the program it started, if asked to
};

Holder Hold(const std::string& name, bool startChild = false) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string answer = HoldNamedMarker(name) ? "1" : "0";
        if (startChild)
            answer += std::to_string(SpawnDetached("/bin/sleep", {"30"}));
        [[maybe_unused]] auto n = ::write(fds[1], answer.data(), answer.size());
        for (;;)
            ::pause();
    }
    ::close(fds[1]);
    Holder h;
    h.pid = pid;
    pollfd p{fds[0], POLLIN, 0};
    char answer[32] = {};
    if (::poll(&p, 1, 10000) > 0) {
        EXPECT_GT(::read(fds[0], answer, sizeof answer - 1), 0);
    }
    ::close(fds[0]);
    EXPECT_TRUE(answer[0] == '0' || answer[0] == '1') << "the holder did not answer";
    h.found = answer[0] == '1';
    if (answer[0] && answer[1])
        h.spawned = std::atol(answer + 1);
    return h;
}

void End(const Holder& h) {
    ::kill(h.pid, SIGKILL);
    int status = 0;
    ::waitpid(h.pid, &status, 0);
}

class MarkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        saved_ = old ? old : "";
        ::setenv("XDG_RUNTIME_DIR", session_.Path().c_str(), 1);
    }
    void TearDown() override {
        if (saved_.empty())
            ::unsetenv("XDG_RUNTIME_DIR");
        else
            ::setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1);
    }
    test::TempFolder session_{"tarnwick-session"};
    std::string saved_;
};

TEST_F(MarkerTest, ExistsWhileAnyHolderRunsAndVanishesWithTheLast) {
    const std::string name = "444246EC-95BD-40CF-84CA-F078865AB9E9";
    Holder first = Hold(name);
    EXPECT_FALSE(first.found);
    Holder second = Hold(name); // a second start: it sees the first, and holds the marker too
    EXPECT_TRUE(second.found);
    End(first);
    Holder third = Hold(name); // the second still holds it
    EXPECT_TRUE(third.found);
    End(second);
    End(third);
    Holder fresh = Hold(name);
    EXPECT_FALSE(fresh.found) << "the marker outlived its holders";
    End(fresh);
    Holder other = Hold("another-marker");
    EXPECT_FALSE(other.found);
    End(other);
}

TEST_F(MarkerTest, ProgramsStartedByAHolderDoNotHoldIt) {
    const std::string name = "inherit-test";
    Holder parent = Hold(name, /*startChild=*/true);
    EXPECT_FALSE(parent.found);
    ASSERT_GT(parent.spawned, 0);
    End(parent);
    EXPECT_TRUE(ProcessAlive(parent.spawned));
    Holder next = Hold(name);
    EXPECT_FALSE(next.found) << "a program the launcher started kept the marker alive";
    End(next);
    TerminateProcess(parent.spawned);
}

TEST(TerminationRequests, EachSignalMakesTheDescriptorReadable) {
    pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = TerminationRequestDescriptor();
        if (fd < 0 || TerminationRequestDescriptor() != fd)
            ::_exit(2);
        int seen = 0;
        for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
            ::raise(sig); // handled: the process goes on
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                ::_exit(3);
            char buffer[8];
            seen += ::read(fd, buffer, sizeof buffer) > 0;
        }
        ::_exit(seen == 3 ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "the signal ended the process";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
} // namespace tw::platform

namespace tw::platform {
namespace {

// A number the system may give again: a process held through its handle, or listed with its start
// time, is signalled only while it is that process.
TEST(Processes, AHeldOrListedProcessIsNeverMistakenForALaterOneOfTheSameNumber) {
    ChildProcess child = SpawnHeld("/bin/sleep", {"30"});
    ASSERT_TRUE(child.Started());
    EXPECT_TRUE(child.Alive());
    ProcessInfo listed;
    for (const auto& p : ListProcesses())
        if (p.pid == child.Pid())
            listed = p;
    ASSERT_EQ(listed.pid, child.Pid());
    ProcessInfo later = listed;
    later.startTime += 1; // the same number, another process
    EXPECT_FALSE(TerminateProcess(later));
    EXPECT_TRUE(child.Alive());
    EXPECT_TRUE(TerminateProcess(listed));
    EXPECT_TRUE(child.WaitEnded(std::chrono::seconds(10)));
    EXPECT_FALSE(child.Kill());
    EXPECT_FALSE(child.AskToEnd());

    // Ended and reaped: the handle still names the ended process, never what runs under its
    // number now.
    ChildProcess quick = SpawnHeld("/bin/true", {});
    ASSERT_TRUE(quick.Started());
    EXPECT_TRUE(quick.WaitEnded(std::chrono::seconds(10)));
    EXPECT_FALSE(quick.Alive());
    EXPECT_FALSE(quick.Kill());
}

} // namespace
} // namespace tw::platform
