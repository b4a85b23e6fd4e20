#pragma once
// A main window for tests of the workers: it runs synchronised calls under one lock (as the one
// main thread would, one at a time) and records every notification, load and posted message.
#include "base/mainform.h"

#include <chrono>
#include <condition_variable>
#include <string>
#include <vector>

namespace tw::test {

struct Recorded {
    std::string kind; // "lblmsg", "lblstartgame", "lbldownaddon", "lbladdonend", "load", "post"
    std::string text; // the status text, notice, URL, or message number in decimal
    bool operator==(const Recorded&) const = default;
};

class Recorder : public IMainForm {
public:
    void Synchronize(const std::function<void()>& fn) override {
        std::unique_lock lock(mainThread_);
        fn();
    }
    void PostMessage(int message) override { Add({"post", std::to_string(message)}); }
    void lbl_Msg() override { Add({"lblmsg", h_LblMsg}); }
    void lbl_Start_Game() override { Add({"lblstartgame", ""}); }
    void lbl_Down_Addon() override { Add({"lbldownaddon", h_LblAddonMsg}); }
    void lbl_Addon_End() override { Add({"lbladdonend", ""}); }
    void LoadURL(const std::string& url) override { Add({"load", url}); }

    std::vector<Recorded> Events() const {
        std::lock_guard lock(eventsMutex_);
        return events_;
    }
    std::vector<std::string> Texts(const std::string& kind) const {
        std::vector<std::string> out;
        for (const auto& e : Events())
            if (e.kind == kind)
                out.push_back(e.text);
        return out;
    }
    std::size_t Count(const std::string& kind) const { return Texts(kind).size(); }
    // Waits until `count` events of `kind` were recorded; false after the timeout.
    bool WaitFor(const std::string& kind, std::size_t count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(60)) const {
        std::unique_lock lock(eventsMutex_);
        return changed_.wait_for(lock, timeout, [&] {
            std::size_t n = 0;
            for (const auto& e : events_)
                n += e.kind == kind;
            return n >= count;
        });
    }

private:
    void Add(Recorded r) {
        {
            std::lock_guard lock(eventsMutex_);
            events_.push_back(std::move(r));
        }
        changed_.notify_all();
    }
    std::mutex mainThread_;
    mutable std::mutex eventsMutex_;
    mutable std::condition_variable changed_;
    std::vector<Recorded> events_;
};

} // namespace tw::test
