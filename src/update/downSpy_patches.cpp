// Step 6 of the update worker: the game patches. Every listed file that is missing or differs is
// fetched into the temporary folder; once every fetched patch passes its check they are put in
// place and the game's caches are cleared.
#include "update/downSpy.h"

#include "base/digestAhead.h"
#include "base/helpers.h"
#include "base/text.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "update/downloadInput.h"

#include <algorithm>
#include <cerrno>
#include <thread>

namespace tw {

namespace {

// The fetched-patch list: digest text = the entry's filename, in order of first setting.
struct FetchedPatches {
    std::vector<std::pair<std::string, std::string>> pairs;
    void Set(const std::string& md5, const std::string& filename) {
        for (auto& p : pairs)
            if (EqualsNoCase(p.first, md5)) {
                p.second = filename;
                return;
            }
        pairs.emplace_back(md5, filename);
    }
};

// The digest text of a file as it is now: the one digested ahead when the file is unchanged since.
std::string DigestOf(DigestAhead& ahead, const std::string& path) {
    if (std::optional<std::string> digest = ahead.Digest(path))
        return *digest;
    return Md5Hex(FileMd5(path));
}

} // namespace

void TDownSpy::CheckPatches() {
    FetchedPatches fetched;
    auto targetPath = [&](const std::string& filename) { return FProgramFolder + ToNativeSeparators(filename); };
    auto tempPath = [&](const std::string& filename) { return FDownTemp + FilePart(targetPath(filename)); };

    // The installed patches are digested on every core ahead of their turn, and each fetched one
    // as soon as it has arrived, while the next one is fetched; every verdict, text and move
    // still comes in list order on this thread.
    DigestAhead ahead(std::max(1u, std::thread::hardware_concurrency()));
    for (int pass = 1;; ++pass) {
        ShowStatus("正在检测游戏补丁文件...");
        const TAnswer answer = TAnswer::Parse(PostAction("getPatches"), "getPatches");
        const std::int32_t count = answer.Int32("count");
        try {
            for (std::int32_t i = 0; i < count; ++i) {
                const TAnswer entry = answer.Entry("downlist", static_cast<std::size_t>(i));
                if (IsFetchableEntry(entry.Text("url"), entry.Text("filename")) &&
                    platform::FileExists(targetPath(entry.Text("filename"))))
                    ahead.Queue(targetPath(entry.Text("filename")));
            }
        } catch (...) {
            // The loop below meets the same entry in its turn and ends the step there.
        }
        bool refused = false;
        for (std::int32_t i = 0; i < count; ++i) {
            const TAnswer entry = answer.Entry("downlist", static_cast<std::size_t>(i));
            const std::string url = entry.Text("url");
            const std::string filename = entry.Text("filename");
            const std::string md5 = entry.Text("MD5");
            // A name that would leave the program folder, a control character or a URL that is not
            // http or https make a patch that cannot be had.
            if (!IsFetchableEntry(url, filename)) {
                refused = true;
                continue;
            }
            const std::string target = targetPath(filename);
            if (platform::FileExists(target) && DigestOf(ahead, target) == md5)
                continue;
            ShowStatus("正在下载游戏补丁，请耐心等待...");
            GetIntoFile(url, tempPath(filename), 2);
            ahead.Queue(tempPath(filename));
            fetched.Set(md5, filename);
            Wait1000();
        }

        ShowStatus("效验补丁文件，请耐心等待...");
        bool failed = refused;
        for (const auto& [md5, filename] : fetched.pairs) {
            const std::string temp = tempPath(filename);
            if (!platform::FileExists(temp)) {
                failed = true;
            } else if (DigestOf(ahead, temp) != md5) {
                platform::DeleteFile(temp);
                failed = true;
            }
        }
        if (!failed)
            break;
        if (pass >= kMaxPatchPasses) {
            ShowStatus("游戏补丁更新失败，请检查网络后重新启动登录器");
            return;
        }
    }

    // Moved over the old file rather than after deleting it: a move that fails keeps the old one.
    for (const auto& [md5, filename] : fetched.pairs)
        if (!MoveFiles(tempPath(filename), targetPath(filename)))
            throw SystemError("The patch " + tempPath(filename) + " could not be moved to " + targetPath(filename),
                              EIO);
    FForm.PostMessage(MSG_CLEAR_CACHE);
}

} // namespace tw
