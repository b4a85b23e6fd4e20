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
#include <memory>
#include <optional>
#include <thread>

namespace tw {

namespace {

// The fetched-patch list: digest text = the entry's filename and its download, in order of first
// setting.
struct FetchedPatch {
    std::string md5, filename;
    std::unique_ptr<FreshDownload> download;
};
struct FetchedPatches {
    std::vector<FetchedPatch> pairs;
    void Set(const std::string& md5, const std::string& filename, std::unique_ptr<FreshDownload> download) {
        for (auto& p : pairs)
            if (EqualsNoCase(p.md5, md5)) {
                p.filename = filename;
                p.download = std::move(download);
                return;
            }
        pairs.push_back({md5, filename, std::move(download)});
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

    // The installed patches are digested on every core ahead of their turn, and each fetched one
    // as soon as it has arrived, while the next one is fetched; every verdict, text and move
    // still comes in list order on this thread.
    DigestAhead ahead(std::max(1u, std::thread::hardware_concurrency()));
    for (int pass = 1;; ++pass) {
        ShowStatus("正在检测游戏补丁文件...");
        const TAnswer answer = TAnswer::Parse(PostAction("getPatches"), "getPatches");
        const std::int32_t count = answer.Int32("count");
        // Every size is read before anything is fetched: a list that names a wrong one, or one
        // file twice with two, is no list to act on.
        std::vector<std::optional<std::uint64_t>> sizes;
        ListedSizes named;
        // (Only the entries there are: the loop below meets a missing one in its turn.)
        const auto list = answer.Json().find("downlist");
        const std::size_t listed =
            list != answer.Json().end() && list->is_array()
                ? std::min<std::size_t>(list->size(), static_cast<std::size_t>(std::max(count, 0)))
                : 0;
        for (std::size_t i = 0; i < listed; ++i) {
            const TAnswer entry = answer.Entry("downlist", i);
            sizes.push_back(ListedSize(entry, FVerifier.Enabled()));
            named.Add(entry.Text("filename"), sizes.back());
        }
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
            // A file of its own: an add-on the page named like this patch is written elsewhere.
            auto download = std::make_unique<FreshDownload>(FDownTemp, FilePart(target));
            GetIntoFile(url, *download, DownloadBound::Of(sizes[static_cast<std::size_t>(i)]), 2);
            ahead.Queue(download->Path());
            fetched.Set(md5, filename, std::move(download));
            Wait1000();
        }

        ShowStatus("效验补丁文件，请耐心等待...");
        bool failed = refused;
        for (auto& patch : fetched.pairs) {
            const std::string temp = patch.download->Path();
            if (!platform::FileExists(temp)) {
                failed = true;
            } else if (patch.download->Md5(ahead.Digest(temp)) != patch.md5) {
                patch.download->Discard();
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
    // What lands in place must be the file that was checked; anything else there goes.
    for (const auto& patch : fetched.pairs) {
        const std::string target = targetPath(patch.filename);
        if (!MoveFiles(patch.download->Path(), target))
            throw SystemError("The patch " + patch.download->Path() + " could not be moved to " + target, EIO);
        if (!patch.download->IsAt(target)) {
            platform::DeleteFile(target);
            throw SystemError("The patch at " + target + " is not the one that was checked", EIO);
        }
    }
    FForm.PostMessage(MSG_CLEAR_CACHE);
}

} // namespace tw
