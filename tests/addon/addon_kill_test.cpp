// Add-on installs killed at varied moments: a real install (reference service, real 7-Zip
// library) runs in a process of its own and is killed with SIGKILL at points spread over its
// unpacking and placing; the start-up recovery then runs, and the add-on folder must hold exactly
// the state before or exactly the state after, with no staging, journal or side folder left.
#include "addon/addonPlace.h"
#include "archive_support.h"
#include "base/helpers.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "reference_service.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

using namespace tw;
using namespace tw::test;
namespace fs = std::filesystem;

namespace {

// Relative path -> content; folders end in '/' and have no content.
using Tree = std::map<std::string, std::string>;

Tree Snapshot(const std::string& folder) {
    Tree tree;
    for (const auto& rel : ListTree(folder))
        tree[rel] = rel.back() == '/' ? std::string() : ReadBytes(folder + rel);
    return tree;
}

void Plant(const std::string& folder, const Tree& tree) {
    ASSERT_TRUE(RemoveFolderTree(folder));
    fs::create_directories(FsPath(folder));
    for (const auto& [rel, content] : tree)
        if (rel.back() == '/')
            fs::create_directories(FsPath(folder + rel));
        else
            WriteBytes(folder + rel, content);
}

// The names directly inside a folder, sorted.
std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(FsPath(folder)))
        names.push_back(Utf8Of(e.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
}

std::string Describe(const Tree& got, const Tree& before, const Tree& after) {
    std::string out;
    for (const auto& [rel, content] : got) {
        bool inBefore = before.count(rel) && before.at(rel) == content;
        bool inAfter = after.count(rel) && after.at(rel) == content;
        out += rel + (inBefore ? " old" : "") + (inAfter ? " new" : "") + "\n";
    }
    return out;
}

// The install in a process of its own; its notices, line by line, in a file.
struct Child {
    std::string notices;
    platform::ChildProcess process;
    std::size_t read = 0; // how far the notices have been looked at

    Child(std::vector<std::string> args, std::string noticeFile) : notices(std::move(noticeFile)) {
        std::remove(notices.c_str());
        args.push_back(notices);
        const std::string program = ProgramFolder() + ADDON_INSTALL_CHILD_NAME;
        process = platform::SpawnHeld(program, args);
        if (!process.Started())
            throw std::runtime_error("cannot start " + program);
    }
    ~Child() {
        if (process.Alive())
            Kill();
    }
    // Waits for a line containing `marker` (true) or the end of the process (false).
    bool WaitForLine(const std::string& marker) {
        bool found = false;
        WaitUntil(
            [&] {
                const bool ended = !process.Alive(); // before the read: its last lines are seen
                const std::string text = ReadBytes(notices);
                for (std::size_t end; !found && (end = text.find('\n', read)) != std::string::npos; read = end + 1)
                    found = text.substr(read, end - read).find(marker) != std::string::npos;
                return found || ended;
            },
            std::chrono::seconds(60), std::chrono::milliseconds(1));
        return found;
    }
    void Kill() {
        process.Kill();
        Wait();
    }
    void Wait() { process.WaitEnded(std::chrono::seconds(60)); }
};

// A folder inside another (no cleanup of its own).
struct Subfolder {
    std::string path;
    std::string operator/(const std::string& relative) const { return path + relative; }
};

struct KillSite {
    TempFolder game{"tarnwick-kill"};
    TempFolder serviceRoot{"tarnwick-kill-service"};
    Subfolder server{serviceRoot / "addons/"}; // the service's add-on folder
    ReferenceService service{serviceRoot.Path()};
    Tree archive, before;

    KillSite() {
        WriteBytes(game / "wow.exe", "MZ game");
        PlaceHelpers(game.Path());
        // 120 files in twelve folders; the player's folder shares 40 of them, and has its own.
        for (int i = 0; i < 120; ++i) {
            const std::string rel = "Pack" + std::to_string(i % 12) + "/f" + std::to_string(i) + ".lua";
            archive[rel] = Content(4000 + static_cast<std::size_t>(i), i);
            if (i % 3 == 0)
                before[rel] = "old " + std::to_string(i);
        }
        before["Mine/Mine.lua"] = "mine";
        for (auto tree : {&archive, &before}) {
            Tree folders;
            for (const auto& [rel, content] : *tree)
                folders[rel.substr(0, rel.find('/') + 1)] = "";
            tree->insert(folders.begin(), folders.end());
        }
        Plant(server / "src/", archive);
        MakePythonZip(server / "pack.zip", "import os\n"
                                           "src = os.path.join(os.path.dirname(sys.argv[1]), 'src')\n"
                                           "for root, dirs, files in sorted(os.walk(src)):\n"
                                           "    for f in sorted(files):\n"
                                           "        p = os.path.join(root, f)\n"
                                           "        add(os.path.relpath(p, src), open(p, 'rb').read())\n");
    }
    std::string AddOns() const { return game / "Interface/AddOns/"; }
    Tree After(int type) const {
        Tree after = type == 1 ? Tree() : before;
        for (const auto& [rel, content] : archive)
            after[rel] = content;
        return after;
    }
    Child Start(const std::string& temp, int type) {
        return Child({game.Path(), temp, service.Url("/files/addons/pack.zip"), "pack.zip", ToolMd5(server / "pack.zip"),
                      std::to_string(type)},
                     game / "notices.txt");
    }
};

} // namespace

TEST(AddonKill, EveryKilledInstallRecoversToTheOldOrTheNewFolder) {
    KillSite site;
    const std::string sameFs = site.game / "down/temp/";
    const std::string otherFs = OtherFileSystemFolder(site.game.Path());
    std::vector<std::string> temps{sameFs};
    if (otherFs.empty())
        std::printf("no second file system here: the copy across file systems is not killed\n");
    else
        temps.push_back(otherFs);

    constexpr int kKillsPerSetting = 6;
    int runs = 0, endedOld = 0, endedNew = 0;
    for (int type : {0, 1}) {
        const Tree after = site.After(type);
        for (const auto& temp : temps) {
            SCOPED_TRACE("type " + std::to_string(type) + ", temporary folder " + temp);
            // One whole run tells how long unpacking and placing take here.
            Plant(site.AddOns(), site.before);
            auto t0 = std::chrono::steady_clock::now();
            {
                Child child = site.Start(temp, type);
                ASSERT_TRUE(child.WaitForLine(R"("code":3)"));
                t0 = std::chrono::steady_clock::now();
                ASSERT_TRUE(child.WaitForLine(R"("code":9)"));
                child.Wait();
            }
            const auto span = std::chrono::steady_clock::now() - t0;
            ASSERT_EQ(Snapshot(site.AddOns()), after);

            for (int k = 0; k < kKillsPerSetting; ++k) {
                Plant(site.AddOns(), site.before);
                {
                    Child child = site.Start(temp, type);
                    ASSERT_TRUE(child.WaitForLine(R"("code":3)"));
                    if (k % 2 == 0) {
                        // Anywhere in unpacking and placing.
                        std::this_thread::sleep_for(span * (k + 1) / (kKillsPerSetting + 1));
                    } else {
                        // Within the steps that change the add-on folder: they begin once the
                        // journal is there.
                        const std::string journal = site.game / "down/" + kAddonJournalName;
                        WaitUntil([&] { return Exists(journal); }, std::chrono::seconds(30),
                                  std::chrono::milliseconds(0));
                        std::this_thread::sleep_for(std::chrono::microseconds(400 * (k / 2)));
                    }
                    child.Kill();
                }
                ++runs;
                // The next start.
                RecoverAddonInstall(site.game / "Interface/AddOns", site.game / "down/", temp);

                const Tree got = Snapshot(site.AddOns());
                const bool isOld = got == site.before, isNew = got == after;
                endedOld += isOld;
                endedNew += isNew;
                EXPECT_TRUE(isOld || isNew) << "kill " << k << " left a mixed folder:\n"
                                            << Describe(got, site.before, after);
                EXPECT_EQ(Names(site.game / "Interface/"), std::vector<std::string>{"AddOns"}) << "kill " << k;
                EXPECT_FALSE(Exists(site.game / "down/" + kAddonJournalName));
                for (const auto& entry : Names(temp))
                    EXPECT_NE(entry.rfind(kAddonStagingPrefix, 0), 0u) << "left behind: " << entry;
            }
        }
    }
    std::printf("%d kills: %d recovered to the old folder, %d to the new one\n", runs, endedOld, endedNew);
    if (!otherFs.empty())
        RemoveFolderTree(otherFs);
}

// A merge that meets a file it may not replace half-way is undone: every file already moved in
// goes out again and the replaced ones come back, also when the unpack came from another file
// system (copied, compared, then used).
TEST(AddonPlace, AFailedMergeIsUndoneOnEitherFileSystem) {
    TempFolder game{"tarnwick-place"};
    const std::string otherFs = OtherFileSystemFolder(game.Path());
    const std::string addons = game / "Interface/AddOns/";
    Tree staged{{"A/", ""}, {"A/a.lua", "new a"}, {"B/", ""}, {"B/b.lua", "new b"},
                {"C/", ""}, {"C/c.lua", "new c"}, {"Z/", ""}, {"Z/z.lua", "new z"}};
    Tree before{{"A/", ""}, {"A/a.lua", "old a"}, {"Mine/", ""}, {"Mine/m.lua", "mine"},
                {"Z/", ""}, {"Z/z.lua", "old z"}};

    struct Case {
        std::string what;
        bool replace, readOnlyZ, otherFs;
        bool fails;
    };
    const std::vector<Case> cases{
        {"merge, last file read-only", false, true, false, true},
        {"merge across file systems, last file read-only", false, true, true, true},
        {"merge across file systems", false, false, true, false},
        {"replace across file systems", true, false, true, false},
        {"replace over a read-only file", true, true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.otherFs && otherFs.empty()) {
            std::printf("no second file system here: \"%s\" skipped\n", c.what.c_str());
            continue;
        }
        Plant(addons, before);
        if (c.readOnlyZ) {
            ASSERT_TRUE(platform::SetReadOnly(addons + "Z/z.lua", true));
        }
        const std::string staging = (c.otherFs ? otherFs : game / "down/temp/") + "addon-1";
        Plant(staging + "/", staged);

        bool failed = false;
        try {
            PlaceStagedAddon(staging, game / "Interface/AddOns", c.replace, game / "down/");
        } catch (const std::exception&) {
            failed = true;
        }
        EXPECT_EQ(failed, c.fails);
        Tree expected = c.replace ? staged : before;
        if (!c.replace && !c.fails)
            for (const auto& [rel, content] : staged)
                expected[rel] = content;
        EXPECT_EQ(Snapshot(addons), expected);
        EXPECT_EQ(Names(game / "Interface/"), std::vector<std::string>{"AddOns"});
        EXPECT_FALSE(Exists(game / "down/" + kAddonJournalName));
        EXPECT_FALSE(Exists(staging));
    }
    if (!otherFs.empty())
        RemoveFolderTree(otherFs);
}

// A journal this installer could not have written (planted in the download folder, say by a
// download that wrote more than it was asked to) is set aside: nothing it names is moved or
// deleted, inside the game's folder or outside it.
TEST(AddonPlace, AForeignJournalIsSetAsideNotFollowed) {
    TempFolder game{"tarnwick-journal"};
    TempFolder victim{"tarnwick-victim"};
    const Tree before{{"Mine/", ""}, {"Mine/m.lua", "mine"}};
    const std::string outside = victim.Path() + "precious.txt";
    struct Case {
        std::string what;
        nlohmann::json journal;
    };
    const std::vector<Case> cases{
        {"undo leaves the folder",
         {{"kind", "merge"}, {"phase", "merge"}, {"new", ".AddOns-new-1-1"}, {"undo", "../../victim"},
          {"files", {"Mine/m.lua"}}, {"created", nlohmann::json::array()}, {"createdAddons", false}}},
        {"a file outside",
         {{"kind", "merge"}, {"phase", "merge"}, {"new", ".AddOns-new-1-1"}, {"undo", ".AddOns-undo-1-1"},
          {"files", {"../../../" + outside}}, {"created", nlohmann::json::array()}, {"createdAddons", false}}},
        {"an absolute path",
         {{"kind", "merge"}, {"phase", "commit"}, {"new", victim.Path()}, {"undo", ".AddOns-undo-1-1"},
          {"files", nlohmann::json::array()}, {"created", nlohmann::json::array()}}},
        {"the game's folder itself",
         {{"kind", "replace"}, {"new", ".."}, {"old", ".AddOns-old-1-1"}}},
        {"the add-on folder itself",
         {{"kind", "replace"}, {"new", ".AddOns-new-1-1"}, {"old", "AddOns"}}},
        {"an unknown kind", {{"kind", "wipe"}, {"new", ".AddOns-new-1-1"}, {"undo", ".AddOns-undo-1-1"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Plant(game / "Interface/AddOns/", before);
        WriteBytes(outside, "keep me");
        WriteBytes(game / "Interface/.AddOns-old-1-1/Old/o.lua", "kept aside");
        WriteBytes(game / "down/" + kAddonJournalName, c.journal.dump());
        RecoverAddonInstall(game / "Interface/AddOns", game / "down/", game / "down/temp/");
        EXPECT_EQ(Snapshot(game / "Interface/AddOns/"), before);
        EXPECT_EQ(ReadBytes(outside), "keep me");
        EXPECT_EQ(ReadBytes(game / "Interface/.AddOns-old-1-1/Old/o.lua"), "kept aside");
        EXPECT_FALSE(Exists(game / "down/" + kAddonJournalName));
        EXPECT_EQ(ReadBytes(game / "down/" + kAddonJournalName + ".refused"), c.journal.dump());
    }
}
