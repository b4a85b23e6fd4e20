#include "base/digestAhead.h"

#include "base/helpers.h"
#include "platform/fs.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace tw {

namespace {
constexpr std::chrono::milliseconds kSettle{50};
} // namespace

struct DigestAhead::Known {
    enum State { Queued, Running, Done, Failed } state = Queued;
    std::string digest;
    platform::FileStamp stamp;
};

DigestAhead::~DigestAhead() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        queue_.clear();
    }
    changed_.notify_all();
    for (auto& t : pool_)
        t.join();
    for (auto& [path, known] : known_)
        delete known;
}

void DigestAhead::Queue(const std::string& path) {
    {
        std::lock_guard lock(mutex_);
        Known*& k = known_[path];
        if (!k)
            k = new Known;
        if (k->state != Known::Running) {
            k->state = Known::Queued;
            if (std::find(queue_.begin(), queue_.end(), path) == queue_.end())
                queue_.push_back(path);
        } else {
            // Being read now: read it again afterwards, the file may have changed meanwhile.
            queue_.push_back(path);
        }
        while (pool_.size() < threads_)
            pool_.emplace_back([this] { Work(); });
    }
    changed_.notify_all();
}

void DigestAhead::DropQueued() {
    std::lock_guard lock(mutex_);
    for (const auto& path : queue_)
        if (known_[path]->state == Known::Queued)
            known_[path]->state = Known::Failed;
    queue_.clear();
    changed_.notify_all();
}

std::optional<std::string> DigestAhead::Digest(const std::string& path, bool wait) {
    std::unique_lock lock(mutex_);
    auto it = known_.find(path);
    if (it == known_.end())
        return std::nullopt;
    Known& k = *it->second;
    if (wait)
        changed_.wait(lock, [&] { return k.state == Known::Done || k.state == Known::Failed; });
    if (k.state != Known::Done)
        return std::nullopt;
    platform::FileStamp now;
    if (!platform::GetFileStamp(path, now) || !(now == k.stamp))
        return std::nullopt;
    return k.digest;
}

void DigestAhead::Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (stop_)
            return;
        const std::string path = queue_.front();
        queue_.pop_front();
        Known& k = *known_[path];
        if (k.state == Known::Running) {
            // Still being read by another thread: come back to it when that one is done.
            queue_.push_back(path);
            changed_.wait(lock, [&] { return stop_ || k.state != Known::Running; });
            continue;
        }
        k.state = Known::Running;
        lock.unlock();
        platform::FileStamp before, after;
        std::string digest;
        bool ok = platform::GetFileStamp(path, before);
        if (ok) {
            // File times tick coarsely: a write in the same tick as the last one could leave the
            // stamp as it was. Reading starts a safe distance after the last write, so that any
            // later write shows in the time.
            using namespace std::chrono;
            const auto age = system_clock::now().time_since_epoch() - nanoseconds(before.modifiedNs);
            if (age < kSettle)
                std::this_thread::sleep_for(kSettle - age);
        }
        if (ok) {
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
        // A newer Queue of the same path keeps it queued for another reading.
        const bool again = std::find(queue_.begin(), queue_.end(), path) != queue_.end();
        k.state = again ? Known::Queued : ok ? Known::Done : Known::Failed;
        changed_.notify_all();
    }
}

} // namespace tw
