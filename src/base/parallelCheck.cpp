#include "base/parallelCheck.h"

#include "base/helpers.h"
#include "platform/fs.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace tw {

namespace {

struct Slot {
    bool digested = false; // the digest (or its error) is known
    bool missing = false;  // no file when the digest was attempted
    std::string digest;
    std::exception_ptr error;
    bool progressPending = false;
    bool known = false; // the digest was known before the check
    std::uint64_t size = 0, done = 0;
};

struct Cancelled {};

class Checker {
public:
    Checker(const std::vector<FileCheckEntry>& entries, unsigned threads, const KnownDigest& known)
        : entries_(entries), known_(known), slots_(entries.size()) {
        // Largest files first, so that the cores finish together.
        std::vector<std::int64_t> sizes(entries.size());
        order_.resize(entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            sizes[i] = platform::FileSize(entries[i].path);
            order_[i] = i;
        }
        std::stable_sort(order_.begin(), order_.end(),
                         [&](std::size_t a, std::size_t b) { return sizes[a] > sizes[b]; });
        if (threads == 0)
            threads = std::max(1u, std::thread::hardware_concurrency());
        threads = static_cast<unsigned>(std::min<std::size_t>(threads, order_.size()));
        for (unsigned t = 0; t < threads; ++t)
            pool_.emplace_back([this] { Work(); });
    }

    ~Checker() {
        cancel_ = true;
        for (auto& t : pool_)
            t.join();
    }

    FileCheckReport Run(const FileCheckProgress& progress) {
        FileCheckReport report;
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            Slot result = WaitFor(i, progress);
            const auto& entry = entries_[i];
            if (result.known && progress && result.size > kMd5MappedLimit)
                for (std::uint64_t done = 0; done < result.size;) {
                    done = std::min<std::uint64_t>(done + kMd5BlockSize, result.size);
                    progress(i, result.size, done);
                }
            // Judged now, after the earlier entries were handled: a file deleted for an earlier
            // entry is missing for this one too.
            if (result.missing || !platform::FileExists(entry.path)) {
                report.allPassed = false;
                report.failed.push_back(i);
                continue;
            }
            if (result.error)
                std::rethrow_exception(result.error);
            if (result.digest != entry.expected) {
                platform::DeleteFile(entry.path);
                report.allPassed = false;
                report.failed.push_back(i);
            }
        }
        return report;
    }

private:
    void Work() {
        for (;;) {
            std::size_t k = next_.fetch_add(1);
            if (k >= order_.size() || cancel_)
                return;
            std::size_t i = order_[k];
            Slot local;
            const std::string& path = entries_[i].path;
            std::optional<std::string> known;
            const bool exists = platform::FileExists(path);
            if (exists && known_) {
                try {
                    known = known_(i);
                } catch (...) {
                    // Digested below like any other.
                }
            }
            if (!exists) {
                local.missing = true;
            } else if (known) {
                // Digested before and unchanged since: not read again.
                local.known = true;
                local.digest = std::move(*known);
                const std::int64_t size = platform::FileSize(path);
                local.size = size > 0 ? static_cast<std::uint64_t>(size) : 0;
            } else {
                try {
                    local.digest = Md5Hex(FileMd5(path, [this, i](std::uint64_t size, std::uint64_t done) {
                        if (cancel_)
                            throw Cancelled{};
                        std::lock_guard lock(mutex_);
                        slots_[i].progressPending = true;
                        slots_[i].size = size;
                        slots_[i].done = done;
                        changed_.notify_all();
                    }));
                } catch (const Cancelled&) {
                    return;
                } catch (...) {
                    local.error = std::current_exception();
                }
            }
            std::lock_guard lock(mutex_);
            Slot& s = slots_[i];
            s.digested = true;
            s.missing = local.missing;
            s.digest = std::move(local.digest);
            s.error = local.error;
            if (local.known) {
                s.known = true;
                s.size = local.size;
            }
            changed_.notify_all();
        }
    }

    // Waits until entry i is digested, passing on its progress as it comes.
    Slot WaitFor(std::size_t i, const FileCheckProgress& progress) {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return slots_[i].digested || slots_[i].progressPending; });
            Slot& s = slots_[i];
            if (s.progressPending) {
                s.progressPending = false;
                std::uint64_t size = s.size, done = s.done;
                if (progress) {
                    lock.unlock();
                    progress(i, size, done);
                    lock.lock();
                }
                continue;
            }
            return s;
        }
    }

    const std::vector<FileCheckEntry>& entries_;
    const KnownDigest& known_;
    std::vector<Slot> slots_;
    std::vector<std::size_t> order_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> cancel_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::thread> pool_;
};

} // namespace

FileCheckReport CheckFilesInOrder(const std::vector<FileCheckEntry>& entries, const FileCheckProgress& progress,
                                  unsigned threads, const KnownDigest& known) {
    if (entries.empty())
        return {};
    Checker checker(entries, threads, known);
    return checker.Run(progress);
}

} // namespace tw
