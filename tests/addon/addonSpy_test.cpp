// The add-on worker end to end in the core: the reference service on 127.0.0.1 serves the archive,
// the real 7-Zip library unpacks it, a recorder stands in for the main window.
#include "addon/addonSpy.h"
#include "archive_support.h"
#include "base/percent.h"
#include "platform/shell.h"
#include "recorder.h"
#include "reference_service.h"
#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <mutex>
#include <thread>

using namespace tw;
using namespace tw::test;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

// A folder inside another (no cleanup of its own).
struct Subfolder {
    std::string path;
    std::string operator/(const std::string& relative) const { return path + relative; }
};

// A program folder with the game and this system's helpers, and a server folder with add-on
// archives (the service's add-on folder).
struct AddonSite {
    TempFolder game{"tarnwick-game"};
    TempFolder serviceRoot{"tarnwick-service-root"};
    Subfolder server{serviceRoot / "addons/"};
    ReferenceService service{serviceRoot.Path()};
    std::unique_ptr<Recorder> recorder = std::make_unique<Recorder>();
    Recorder& Form() const { return *recorder; }

    AddonSite() {
        WriteBytes(game / "wow.exe", "MZ game");
        PlaceHelpers(game.Path());
    }
    // Forgets what the page was told so far (no worker may be running).
    void Reset() { recorder = std::make_unique<Recorder>(); }
    std::string AddOns() const { return game / "Interface/AddOns/"; }
    std::string Temp() const { return game / "down/temp/"; }
    std::string Url(const std::string& file) const { return service.Url("/files/addons/" + file); }
    std::string Md5(const std::string& file) const { return ToolMd5(server / file); }

    TaddonSpy Worker(const std::string& url, const std::string& name, const std::string& md5, int type = 0) {
        return TaddonSpy(Form(), Temp(), game / "down/", url, name, md5, 12, type, game.Path());
    }
    // The run as the page sees it: codes of the notices, -1 for the end call.
    std::vector<int> Codes() const {
        std::vector<int> codes;
        for (const auto& e : Form().Events()) {
            if (e.kind == "lbldownaddon")
                codes.push_back(nlohmann::json::parse(e.text).at("code").get<int>());
            else if (e.kind == "lbladdonend")
                codes.push_back(-1);
        }
        return codes;
    }
    // The percentages of one notice code, in order.
    std::vector<int> Percentages(int code) const {
        std::vector<int> out;
        for (const auto& text : Form().Texts("lbldownaddon")) {
            auto notice = nlohmann::json::parse(text);
            if (notice["code"] == code)
                out.push_back(std::stoi(notice["msg"].get<std::string>()));
        }
        return out;
    }
};

// Codes with runs of progress notices (1 or 4) folded into one entry, for comparing sequences.
std::vector<int> Folded(const std::vector<int>& codes) {
    std::vector<int> out;
    for (int c : codes)
        if (!((c == 1 || c == 4) && !out.empty() && out.back() == c))
            out.push_back(c);
    return out;
}

void ExpectRisingTo100(const std::vector<int>& percentages) {
    ASSERT_FALSE(percentages.empty());
    EXPECT_EQ(percentages.back(), 100);
    for (std::size_t i = 1; i < percentages.size(); ++i)
        EXPECT_LT(percentages[i - 1], percentages[i]); // repeats are not sent
}

// One name as Chinese Windows archivers store it: GBK without the UTF-8 flag, read as such
// whatever the locale of the test.
const std::string kAddonBody = "add('NewAddon/NewAddon.toc', '## Title: New')\n"
                               "add('NewAddon/核心.lua', open(sys.argv[1] + '.big', 'rb').read())\n"
                               "raw('团队助手/说明.txt', 'gbk name')\n"
                               "add('Shared/common.lua', 'new common', deflate=False)\n";

void MakeAddon(const std::string& zip) {
    WriteBytes(zip + ".big", Content(2'000'000, 9));
    MakePythonZip(zip, kAddonBody);
}

} // namespace

TEST(AddonNotice, CompactJsonRoundedPercentagesAndPlainNames) {
    EXPECT_EQ(AddonNoticeText(0, "开始下载插件"), R"({"code":0,"msg":"开始下载插件"})");
    EXPECT_EQ(AddonNoticeText(1002, "a\"b\\c\n\x01/é"), R"({"code":1002,"msg":"a\"b\\c\n\u0001/é"})");
    EXPECT_EQ(AddonNoticeText(4, "42"), R"({"code":4,"msg":"42"})");

    const std::uint64_t big = std::numeric_limits<std::uint64_t>::max();
    const std::vector<std::tuple<std::uint64_t, std::uint64_t, int>> cases{
        {0, 0, -1},
        {5, 0, -1},
        {0, 7, 0},
        {1, 8, 12},
        {3, 8, 38},
        {1, 200, 0},
        {3, 200, 2},
        {5, 200, 2},
        {7, 200, 4},
        {199, 200, 100},
        {197, 200, 98},
        {1, 3, 33},
        {2, 3, 67},
        {8, 5, 100},
        {big / 2, big, 50},
        {big, big, 100},
        {1'073'741'823, 2'147'483'648, 50},
    };
    for (auto [done, total, percent] : cases)
        EXPECT_EQ(PercentHalfEven(done, total), percent) << done << "/" << total;

    for (const char* good : {"a.zip", "插件 v2.zip", "..a.zip", "a..zip", ".hidden"})
        EXPECT_TRUE(IsPlainFileName(good)) << good;
    for (const char* bad : {"", ".", "..", "../a.zip", "a/b.zip", "a\\b.zip", "C:a.zip", "/abs.zip"})
        EXPECT_FALSE(IsPlainFileName(bad)) << bad;
}

TEST(AddonWorker, InstallsOverExistingAddonsOrReplacesThemByType) {
    AddonSite site;
    MakeAddon(site.server / "new.zip");
    const std::string big = ReadBytes(site.server / "new.zip.big");
    // Each type under a locale that is not Chinese: the GBK name is read as GBK all the same.
    for (auto [type, lang] : {std::pair{0, "C"}, std::pair{1, "en_US.UTF-8"}}) {
        SCOPED_TRACE(type);
        ScopedEnv all("LC_ALL", nullptr), ctype("LC_CTYPE", nullptr), language("LANG", lang);
        site.Reset();
        RemoveFolderTree(site.game / "Interface");
        WriteBytes(site.AddOns() + "Mine/Mine.lua", "mine");
        WriteBytes(site.AddOns() + "Shared/common.lua", "old common");
        WriteBytes(site.AddOns() + "Shared/extra.lua", "old extra");
        // A file at the archive's name (saved there by earlier versions) is neither read nor
        // written: the download has a file of its own.
        WriteBytes(site.Temp() + "new.zip", "an earlier download");

        site.Worker(site.Url("new.zip"), "new.zip", site.Md5("new.zip"), type).Execute();

        EXPECT_THAT(Folded(site.Codes()), ElementsAre(0, 1, 2, 3, 4, 9, -1));
        ExpectRisingTo100(site.Percentages(1));
        ExpectRisingTo100(site.Percentages(4));
        EXPECT_EQ(site.Form().Texts("lbldownaddon").front(), R"({"code":0,"msg":"开始下载插件"})");

        EXPECT_EQ(ReadBytes(site.AddOns() + "NewAddon/核心.lua"), big);
        EXPECT_EQ(ReadBytes(site.AddOns() + "Shared/common.lua"), "new common");
        if (type == 1)
            EXPECT_THAT(ListTree(site.AddOns()), ElementsAre("NewAddon/", "NewAddon/NewAddon.toc", "NewAddon/核心.lua",
                                                             "Shared/", "Shared/common.lua", "团队助手/", "团队助手/说明.txt"));
        else
            EXPECT_THAT(ListTree(site.AddOns()),
                        ElementsAre("Mine/", "Mine/Mine.lua", "NewAddon/", "NewAddon/NewAddon.toc", "NewAddon/核心.lua",
                                    "Shared/", "Shared/common.lua", "Shared/extra.lua", "团队助手/", "团队助手/说明.txt"));
        // Neither the archive nor the staging folder stays.
        EXPECT_THAT(ListTree(site.Temp()), ElementsAre("new.zip"));
        EXPECT_EQ(ReadBytes(site.Temp() + "new.zip"), "an earlier download");
    }
}

TEST(AddonWorker, DigestMismatchTouchesNothing) {
    AddonSite site;
    MakeAddon(site.server / "new.zip");
    WriteBytes(site.AddOns() + "Mine/Mine.lua", "mine");
    std::string md5 = site.Md5("new.zip");
    std::string lower = md5;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& expected : {lower, md5 + " ", " " + md5, std::string("0123456789ABCDEF0123456789ABCDEF")}) {
        site.Reset();
        site.Worker(site.Url("new.zip"), "new.zip", expected, 1).Execute();
        EXPECT_THAT(Folded(site.Codes()), ElementsAre(0, 1, 2, 1001, -1)) << expected;
        EXPECT_EQ(site.Form().Texts("lbldownaddon").back(), R"({"code":1001,"msg":"插件下载失败"})");
        EXPECT_THAT(ListTree(site.AddOns()), ElementsAre("Mine/", "Mine/Mine.lua"));
        EXPECT_THAT(ListTree(site.Temp()), ElementsAre()) << "a download that failed its check is deleted at once";
    }
}

TEST(AddonWorker, FailuresEndWith1002AndLeaveTheAddonFolderAsItWas) {
    AddonSite site;
    MakeAddon(site.server / "new.zip");
    WriteBytes(site.server / "text.zip", "this is not an archive");
    MakePythonZip(site.server / "slip.zip", "add('Good/a.lua', 'a')\nadd('../../../escaped.lua', 'evil')\n");
    MakePythonZip(site.server / "conflict.zip", "add('Mine/Mine.lua/inner.lua', 'x')\n");
    MakePythonZip(site.server / "gbk.zip", "raw('好/a.lua', 'a')\nraw(b'\\xb1/b.lua', 'cut GBK')\n");
    MakePythonZip(site.server / "twice.zip", "add('Good/a.lua', 'a')\nadd('Good\\\\a.lua', 'b')\n");
    // Names that Windows refuses, or reads as another file, fail as a name leaving the folder.
    MakePythonZip(site.server / "device.zip", "add('Good/a.lua', 'a')\nadd('Good/CON.lua', 'the console')\n");
    MakePythonZip(site.server / "dot.zip", "add('Good/a.lua', 'a')\nadd('Good./b.lua', 'trailing dot')\n");
    MakePythonZip(site.server / "stream.zip", "add('Good/a.lua', 'a')\nadd('Good/a.lua:hidden', 'a stream')\n");
    MakePythonZip(site.server / "case.zip", "add('Good/a.lua', 'a')\nadd('good/A.LUA', 'the same file')\n");
    ScopedEnv zh("LC_ALL", "zh_CN.UTF-8"); // names in code page 936
    const std::vector<std::string> before{"Mine/", "Mine/Mine.lua"};
    WriteBytes(site.AddOns() + "Mine/Mine.lua", "mine");

    struct Case {
        std::string what, file;
        int type = 1;
        std::vector<int> codes;
        std::string knob; // knob path -> JSON text
        bool no7z = false;
        std::uint64_t sizeLimit = 0; // lowered limits of the worker, 0 for its own
        std::uint32_t itemLimit = 0;
        std::uint64_t downloadLimit = 0;
    };
    const std::vector<Case> cases{
        {"404", "missing.zip", 1, {0, 1, 2, 1002, -1}, "", false},
        {"not a zip", "text.zip", 1, {0, 1, 2, 3, 1002, -1}, "", false},
        {"zip slip", "slip.zip", 1, {0, 1, 2, 3, 1002, -1}, "", false},
        {"file where a folder is needed", "conflict.zip", 0, {0, 1, 2, 3, 4, 1002, -1}, "", false},
        {"name not in the code page", "gbk.zip", 1, {0, 1, 2, 3, 1002, -1}, "", false},
        {"one name twice", "twice.zip", 1, {0, 1, 2, 3, 1002, -1}, "", false},
        {"a device name", "device.zip", 1, {0, 1, 2, 3, 1002, -1}, "", false},
        {"a trailing dot", "dot.zip", 1, {0, 1, 2, 3, 1002, -1}, "", false},
        {"a stream name", "stream.zip", 1, {0, 1, 2, 3, 1002, -1}, "", false},
        {"names equal but for case", "case.zip", 1, {0, 1, 2, 3, 1002, -1}, "", false},
        {"no 7z library", "new.zip", 1, {0, 1, 2, 3, 1002, -1}, "", true},
        {"interrupted download", "new.zip", 1, {0, 1, 2, 1002, -1}, R"({"cut_after": 100000})", false},
        // Refused before anything is written: more than the limits let through.
        {"bigger than the limit", "new.zip", 0, {0, 1, 2, 3, 1002, -1}, "", false, 1'000'000},
        {"more items than the limit", "new.zip", 0, {0, 1, 2, 3, 1002, -1}, "", false, 0, 2},
        // Stopped while it arrives, announced length or not.
        {"longer than the download cap", "new.zip", 0, {0, 1, 2, 1002, -1}, "", false, 0, 0, 100'000},
        {"unannounced, longer than the cap", "new.zip", 0, {0, 2, 1002, -1}, R"({"no_length": true})", false, 0, 0,
         100'000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Every byte is text in a single-byte code page such as Windows' 1252 (Wine's default),
        // so a name fails there only when the system's code page is GBK too.
        if (c.file == "gbk.zip" && platform::AnsiCodePage() != 936)
            continue;
        site.Reset();
        site.service.SetKnobs(
            c.knob.empty() ? nlohmann::json::object()
                           : nlohmann::json{{"paths", {{"/files/addons/" + c.file, nlohmann::json::parse(c.knob)}}}});
        const std::string md5 = Exists(site.server / c.file) ? site.Md5(c.file) : "";
        auto worker = site.Worker(site.Url(c.file), c.file, md5, c.type);
        if (c.no7z)
            worker.FLibraryPaths = {site.game / "7z.so"};
        if (c.sizeLimit)
            worker.FUnpackSizeLimit = c.sizeLimit;
        if (c.itemLimit)
            worker.FUnpackItemLimit = c.itemLimit;
        if (c.downloadLimit)
            worker.FDownloadLimit = c.downloadLimit;
        worker.Execute();
        EXPECT_THAT(Folded(site.Codes()), ElementsAreArray(c.codes));
        EXPECT_EQ(site.Form().Texts("lbldownaddon").back(), R"({"code":1002,"msg":"插件安装失败"})");
        EXPECT_EQ(ListTree(site.AddOns()), before);
        EXPECT_EQ(ReadBytes(site.AddOns() + "Mine/Mine.lua"), "mine");
        EXPECT_FALSE(Exists(site.game / "escaped.lua"));
        EXPECT_FALSE(Exists(site.game / "Interface/escaped.lua"));
        for (const auto& entry : ListTree(site.Temp()))
            EXPECT_EQ(entry.find('/'), std::string::npos) << "left behind: " << entry;
        if (std::find(c.codes.begin(), c.codes.end(), 3) == c.codes.end()) { // the download broke off
            EXPECT_FALSE(Exists(site.Temp() + c.file)) << "no part of a download is kept";
        }
    }

    // After a cut download the same add-on installs at once, replacing the partial file.
    site.Reset();
    site.service.SetKnobs(nlohmann::json::object());
    site.Worker(site.Url("new.zip"), "new.zip", site.Md5("new.zip"), 0).Execute();
    EXPECT_EQ(site.Codes().end()[-2], 9);
    EXPECT_TRUE(Exists(site.AddOns() + "NewAddon/NewAddon.toc"));
}

TEST(AddonWorker, RefusesUnsafeNamesAndUrlsBeforeAnyDownload) {
    AddonSite site;
    MakeAddon(site.server / "new.zip");
    const std::string md5 = site.Md5("new.zip");
    for (const char* name : {"../new.zip", "sub/new.zip", "sub\\new.zip", "..", "C:new.zip"}) {
        site.Reset();
        site.Worker(site.Url("new.zip"), name, md5).Execute();
        EXPECT_THAT(site.Codes(), ElementsAre(1002, -1)) << name;
    }
    for (const std::string& url :
         std::vector<std::string>{"file://" + site.server / "new.zip", "ftp://127.0.0.1/new.zip", "new.zip"}) {
        site.Reset();
        site.Worker(url, "new.zip", md5).Execute();
        EXPECT_THAT(site.Codes(), ElementsAre(1002, -1)) << url;
    }
    EXPECT_TRUE(site.service.Requests().empty());
    EXPECT_FALSE(Exists(site.game / "down"));
    EXPECT_FALSE(Exists(site.game / "new.zip"));

    // A redirect to anything but http or https is not followed either.
    site.Reset();
    site.service.SetKnobs(
        {{"paths", {{"/files/addons/new.zip", {{"redirect_to", "file://" + site.server / "new.zip"}}}}}});
    site.Worker(site.Url("new.zip"), "new.zip", md5).Execute();
    EXPECT_EQ(site.Codes().end()[-2], 1002);
    EXPECT_FALSE(Exists(site.AddOns()));

    // A redirect chain within http is fine: one begin/end series per answer body.
    site.Reset();
    site.service.SetKnobs({{"paths", {{"/files/addons/new.zip", {{"redirects", 2}}}}}});
    site.Worker(site.Url("new.zip"), "new.zip", md5).Execute();
    EXPECT_THAT(Folded(site.Codes()), ElementsAre(0, 1, 2, 0, 1, 2, 0, 1, 2, 3, 4, 9, -1));
}

TEST(AddonWorker, WithoutTheGameOrAUrlOnlyTheEndIsReported) {
    AddonSite site;
    MakeAddon(site.server / "new.zip");
    site.Worker("", "new.zip", site.Md5("new.zip")).Execute();
    EXPECT_THAT(site.Codes(), ElementsAre(-1));

    site.Reset();
    std::remove((site.game / "wow.exe").c_str());
    site.Worker(site.Url("new.zip"), "new.zip", site.Md5("new.zip")).Execute();
    EXPECT_THAT(site.Codes(), ElementsAre(-1));
    site.Reset();
    DownAddon(site.Form(), site.Temp(), site.game / "down/", site.Url("new.zip"), "new.zip", site.Md5("new.zip"), 1, 0,
              site.game.Path());
    EXPECT_THAT(site.Codes(), ElementsAre(-1)); // at once, on the calling thread
    EXPECT_EQ(TaddonSpy::Running(), 0);
    EXPECT_TRUE(site.service.Requests().empty());
}

// Holds the first thread that reports anything until another thread has reported its end: a
// second request that had to wait for the first worker would never get there.
class GatedForm : public Recorder {
public:
    void Synchronize(const std::function<void()>& fn) override {
        {
            std::unique_lock lock(gate_);
            if (held_ == std::thread::id{})
                held_ = std::this_thread::get_id();
            if (held_ == std::this_thread::get_id())
                passed_ = opened_.wait_for(lock, std::chrono::seconds(60), [&] { return open_; });
        }
        Recorder::Synchronize(fn);
    }
    void lbl_Addon_End() override {
        Recorder::lbl_Addon_End();
        std::lock_guard lock(gate_);
        if (held_ != std::this_thread::get_id()) {
            open_ = true;
            opened_.notify_all();
        }
    }
    bool Passed() {
        std::lock_guard lock(gate_);
        return passed_;
    }

private:
    std::mutex gate_;
    std::condition_variable opened_;
    std::thread::id held_;
    bool open_ = false;
    bool passed_ = false;
};

TEST(AddonWorker, TwoRequestsAtOnceRunTheirOwnWorkers) {
    AddonSite site;
    MakeAddon(site.server / "one.zip");
    MakePythonZip(site.server / "two.zip", "add('Two/Two.toc', 'two')\n");
    GatedForm form;
    DownAddon(form, site.Temp(), site.game / "down/", site.Url("one.zip"), "one.zip", site.Md5("one.zip"), 1, 0,
              site.game.Path());
    DownAddon(form, site.Temp(), site.game / "down/", site.Url("two.zip"), "two.zip", site.Md5("two.zip"), 2, 0,
              site.game.Path());
    ASSERT_TRUE(form.WaitFor("lbladdonend", 2, std::chrono::seconds(120)));
    for (int i = 0; i < 1000 && TaddonSpy::Running() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(TaddonSpy::Running(), 0);
    EXPECT_TRUE(form.Passed());

    std::vector<std::string> notices = form.Texts("lbldownaddon");
    EXPECT_EQ(std::count(notices.begin(), notices.end(), R"({"code":9,"msg":"插件安装完成"})"), 2);
    EXPECT_EQ(form.Events().back().kind, "lbladdonend");
    EXPECT_EQ(ReadBytes(site.AddOns() + "Two/Two.toc"), "two");
    EXPECT_EQ(ReadBytes(site.AddOns() + "NewAddon/核心.lua"), ReadBytes(site.server / "one.zip.big"));
}

// A full disk: the add-on does not fit on the (small) file system of the temporary folder, which is
// told before anything is written; the add-on folder stays as it was.
TEST(AddonWorker, NoRoomForTheUnpackFailsBeforeWriting) {
    AddonSite site;
    MakeAddon(site.server / "new.zip");
    WriteBytes(site.AddOns() + "Mine/Mine.lua", "mine");
    ASSERT_TRUE(EnsureFolder(site.Temp()));
    // A file system of its own, in a mount namespace of this process only.
    if (const std::string why = MountSmallFileSystem(site.Temp(), "8m"); !why.empty())
        GTEST_SKIP() << why;
    site.Worker(site.Url("new.zip"), "new.zip", site.Md5("new.zip"), 0).Execute();
    EXPECT_THAT(Folded(site.Codes()), ElementsAre(0, 1, 2, 3, 1002, -1));
    EXPECT_EQ(ListTree(site.AddOns()), (std::vector<std::string>{"Mine/", "Mine/Mine.lua"}));
    EXPECT_EQ(ListTree(site.Temp()), std::vector<std::string>{});
    UnmountSmallFileSystem(site.Temp());
}
