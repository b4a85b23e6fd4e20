#pragma once
// Digests files ahead of the moment they are checked, on threads of their own: a file queued as
// soon as it is complete is usually digested by the time its check comes. A digest is handed out
// only while the file is unchanged since it was read (same size, modification time, inode and
// device, before and after the reading); anything else is the caller's to digest again.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
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
    // Forgets what is queued and not yet started; what is being digested goes on.
    void DropQueued();
    // The digest text (as Md5Hex writes it) of `path` when it is known and the file is unchanged
    // since; waits for a digest of it that is queued or under way when `wait` is set. Empty when
    // there is none: never queued, dropped, changed, gone, or a read that failed.
    std::optional<std::string> Digest(const std::string& path, bool wait = true);

private:
    struct Known;
    void Work();

    unsigned threads_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> queue_;
    std::map<std::string, Known*> known_; // owned; path -> state of its latest digest
    bool stop_ = false;
    std::vector<std::thread> pool_;
};

} // namespace tw
