#include "base/digestAhead.h"

#include "base/helpers.h"
#include "platform/fs.h"

#include <algorithm>
#include <chrono>
#include <system_error>

namespace tw {

namespace {
constexpr std::chrono::nanoseconds kSettle = std::chrono::milliseconds(50);
} // namespace

DigestAhead::~DigestAhead() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        queue_.clear();
    }
    changed_.notify_all();
    for (auto& t : pool_)
        t.join();
}

void DigestAhead::Queue(const std::string& path) {
    {
        std::lock_guard lock(mutex_);
        std::unique_ptr<Known>& k = known_[path];
        if (!k)
            k = std::make_unique<Known>();
        switch (k->state) {
        case Known::Running:
            k->again = true; // being read now: read it again afterwards, it may have changed meanwhile
            break;
        case Known::Queued:
            break;
        case Known::Done:
        case Known::Failed:
            k->state = Known::Queued;
            queue_.push_back(path);
            break;
        }
        StartThreads();
    }
    changed_.notify_all();
}

void DigestAhead::SetThreads(unsigned threads) {
    {
        std::lock_guard lock(mutex_);
        threads_ = threads == 0 ? 1 : threads;
        if (!pool_.empty())
            StartThreads();
    }
    changed_.notify_all();
}

void DigestAhead::StartThreads() {
    try {
        while (pool_.size() < threads_) {
            const std::size_t index = pool_.size();
            pool_.emplace_back([this, index] { Work(index); });
        }
    } catch (const std::system_error&) {
        // No thread to be had now: Digest reads whatever is still queued when it is asked.
    }
}

std::optional<std::string> DigestAhead::Digest(const std::string& path) {
    std::unique_lock lock(mutex_);
    auto it = known_.find(path);
    if (it == known_.end())
        return std::nullopt;
    Known& k = *it->second;
    for (;;) {
        switch (k.state) {
        case Known::Queued:
            // Not started yet: read here rather than wait for a thread to come free.
            queue_.erase(std::find(queue_.begin(), queue_.end(), path));
            k.state = Known::Running;
            Read(path, k, lock);
            break;
        case Known::Running:
            changed_.wait(lock, [&] { return k.state != Known::Running; });
            break;
        case Known::Failed:
            return std::nullopt;
        case Known::Done: {
            platform::FileStamp now;
            if (!platform::GetFileStamp(path, now) || !(now == k.stamp))
                return std::nullopt;
            return k.digest;
        }
        }
    }
}

void DigestAhead::Work(std::size_t index) {
    std::unique_lock lock(mutex_);
    for (;;) {
        // Threads beyond the number asked for last sit idle until it grows again.
        changed_.wait(lock, [&] { return stop_ || (!queue_.empty() && index < threads_); });
        if (stop_)
            return;
        const std::string path = queue_.front();
        queue_.pop_front();
        Known& k = *known_[path];
        k.state = Known::Running;
        Read(path, k, lock);
    }
}

void DigestAhead::Read(const std::string& path, Known& k, std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    platform::FileStamp before, after;
    std::string digest;
    bool ok = platform::GetFileStamp(path, before);
    if (ok) {
        // File times tick coarsely: a write in the same tick as the last one could leave the
        // stamp as it was. Reading starts a short, bounded distance after the last write, so that
        // any later write shows in the time. (A time ahead of the clock needs no wait: any write
        // now gives an earlier one.)
        const auto age =
            std::chrono::system_clock::now().time_since_epoch() - std::chrono::nanoseconds(before.modifiedNs);
        if (age >= std::chrono::nanoseconds(0) && age < kSettle)
            std::this_thread::sleep_for(kSettle - age);
        try {
            digest = Md5Hex(FileMd5(path));
        } catch (...) {
            ok = false;
        }
    }
    // A file written while it was read gives a digest of no version at all.
    ok = ok && platform::GetFileStamp(path, after) && after == before;
    lock.lock();
    k.digest = std::move(digest);
    k.stamp = before;
    if (k.again && !stop_) {
        k.again = false;
        k.state = Known::Queued;
        queue_.push_back(path);
    } else {
        k.again = false;
        k.state = ok ? Known::Done : Known::Failed;
    }
    changed_.notify_all();
}

} // namespace tw
