#pragma once
// Digests files ahead of the moment they are checked, on threads of their own: a file queued as
// soon as it is complete is usually digested by the time its check comes. A digest is handed out
// only while the file is unchanged since it was read (same size, modification time, inode and
// device, before and after the reading); anything else is the caller's to digest again.
//
// The caller never waits for a free thread: a file still queued when its digest is asked for is
// read by the asking thread itself, so the only wait is for a reading already under way.
#include "platform/fs.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tw {

class DigestAhead {
public:
    // `threads` digesting threads, started at the first Queue.
    explicit DigestAhead(unsigned threads = 1) : threads_(threads == 0 ? 1 : threads) {}
    ~DigestAhead();
    DigestAhead(const DigestAhead&) = delete;
    DigestAhead& operator=(const DigestAhead&) = delete;

    // Digests `path` (again, when it was digested before) once a thread is free.
    void Queue(const std::string& path);
    // Digests on `threads` threads from now on (more are started when needed; those beyond the
    // number stay idle once their current file is done).
    void SetThreads(unsigned threads);
    // The digest text (as Md5Hex writes it) of `path` when it is known and the file is unchanged
    // since. A digest that is queued is read now on the calling thread; one under way is waited
    // for. Empty when there is none: never queued, dropped, changed, gone, or a read that failed.
    std::optional<std::string> Digest(const std::string& path);

private:
    struct Known {
        enum State { Queued, Running, Done, Failed } state = Failed; // Failed: nothing known
        bool again = false;                                          // queued again while it was being read
        std::string digest;
        platform::FileStamp stamp; // of the version read
    };
    void Work(std::size_t index);
    void StartThreads(); // mutex_ held
    // Reads `path` (its state set to Running by the caller, `lock` held) and records the outcome.
    void Read(const std::string& path, Known& k, std::unique_lock<std::mutex>& lock);

    unsigned threads_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> queue_;                       // paths in state Queued, each once
    std::map<std::string, std::unique_ptr<Known>> known_; // path -> state of its latest digest
    bool stop_ = false;
    std::vector<std::thread> pool_;
};

} // namespace tw
