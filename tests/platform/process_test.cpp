// Processes as the system lists them, on every system: a child's current folder is read back.
#include "base/text.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace tw::platform {
namespace {

// Not a test: what the test below runs as its child, a process that stays until it is ended.
TEST(ProcessChild, DISABLED_StaysAlive) {
    std::this_thread::sleep_for(std::chrono::minutes(2));
}

// The update worker finds an earlier run's downloader by its current folder, compared with the
// download folder without its trailing separator; a drive root keeps its own.
TEST(Processes, ListsAChildsCurrentFolderAsTheFolderWithoutItsTrailingSeparator) {
    test::TempFolder dir;
    const std::string& given = dir.Path(); // with its trailing separator
    const std::string root = given.size() > 2 && given[1] == ':' ? given.substr(0, 3) : "/";
    for (const std::string& folder : {given, root}) {
        // Started where the update worker starts its downloader, and compared as it compares.
        const std::string expected = WithoutTrailingSeparator(folder);
        ChildProcess child =
            SpawnHeld(ExecutablePath(),
                      {"--gtest_also_run_disabled_tests", "--gtest_filter=ProcessChild.DISABLED_StaysAlive"}, expected);
        ASSERT_TRUE(child.Started()) << expected;
        std::string listed;
        test::WaitUntil(
            [&] {
                for (const auto& p : ListProcesses())
                    if (p.pid == child.Pid())
                        listed = p.workFolder;
                return !listed.empty();
            },
            std::chrono::seconds(30));
        child.Kill();
        EXPECT_TRUE(child.WaitEnded(std::chrono::seconds(10)));
        EXPECT_EQ(listed, expected);
    }
}

} // namespace
} // namespace tw::platform
