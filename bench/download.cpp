// A 1 GiB download on loopback from the reference service: the update worker's GET into a file,
// with its progress texts handed to a page-like main window on another thread (a blocking
// round trip per hand-over, a script text built per notice), against `curl -o` of the same file
// in the same run. A second figure shows the cost of handing every progress event over.
#include "base/helpers.h"
#include "base/pagetext.h"
#include "base/percent.h"
#include "update/downSpy.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A main window whose Synchronize runs the call on its own main thread and waits for it, and
// whose notices become script texts, as the shell's do.
class PageLikeForm : public tw::IMainForm {
public:
    PageLikeForm() : main_([this] { Loop(); }) {}
    ~PageLikeForm() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        main_.join();
    }
    void Synchronize(const std::function<void()>& fn) override {
        std::unique_lock lock(mutex_);
        bool done = false;
        queue_.push_back({&fn, &done});
        wake_.notify_all();
        finished_.wait(lock, [&] { return done; });
    }
    void PostMessage(int) override {}
    void lbl_Msg() override {
        scripts_.push_back(tw::LblMsgScript(h_LblMsg));
        if (scripts_.size() > 4096)
            scripts_.erase(scripts_.begin(), scripts_.begin() + 2048);
        ++notices;
    }
    void lbl_Start_Game() override {}
    void lbl_Down_Addon() override {}
    void lbl_Addon_End() override {}
    void LoadURL(const std::string&) override {}
    std::size_t notices = 0;

private:
    struct Call {
        const std::function<void()>* fn;
        bool* done;
    };
    void Loop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            if (queue_.empty())
                return;
            Call c = queue_.front();
            queue_.pop_front();
            lock.unlock();
            (*c.fn)();
            lock.lock();
            *c.done = true;
            finished_.notify_all();
        }
    }
    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    std::deque<Call> queue_;
    bool stop_ = false;
    std::vector<std::string> scripts_;
    std::thread main_;
};

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

} // namespace

int main() {
    const fs::path work = fs::temp_directory_path() / ("tarnwick-bench-download-" + std::to_string(::getpid()));
    fs::create_directories(work / "root/update");
    const std::uint64_t size = 1ull << 30;
    {
        std::ofstream out(work / "root/update/big.bin", std::ios::binary);
        std::vector<char> block(1 << 20);
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>((i * 131) ^ (i >> 8));
        for (std::uint64_t done = 0; done < size; done += block.size()) {
            block[0] = static_cast<char>(done >> 20);
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }

    const std::string service = tw::ProgramFolder() + "../service/tarnwick_service";
    const std::string portFile = (work / "port").string();
    pid_t pid = ::fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        ::execl(service.c_str(), service.c_str(), "--root", (work / "root").c_str(), "--port-file", portFile.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int port = 0;
    for (int i = 0; i < 500 && port == 0; ++i) {
        std::ifstream in(portFile);
        if (!(in >> port)) {
            port = 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (port == 0) {
        std::fprintf(stderr, "the reference service did not start (%s)\n", service.c_str());
        return 1;
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/files/update/big.bin";
    const std::string target = (work / "out.bin").string();
    const std::string curl = "curl -s -o '" + target + "' '" + url + "'";

    PageLikeForm form;
    auto* spy = new tw::TDownSpy(form, work.string() + "/", work.string() + "/", work.string() + "/");

    // Every progress event handed over, as a worker that sends each one would.
    tw::THttpClient every;
    std::int64_t total = 0;
    std::string text;
    every.SetEvents({[&](std::int64_t t) { total = t; },
                     [&](std::int64_t done) {
                         text = "新版本登录器正在下载中 " + std::to_string(tw::PercentHalfEven(done, total));
                         form.Synchronize([&] {
                             form.h_LblMsg = text;
                             form.lbl_Msg();
                         });
                     },
                     [&] { total = 0; }});

    if (std::system(curl.c_str()) != 0) // warms the page cache and the connection path
        return 1;
    double ours = 1e30, tool = 1e30, naive = 1e30;
    std::size_t notices = 0, naiveNotices = 0;
    for (int run = 0; run < 3; ++run) {
        auto t0 = std::chrono::steady_clock::now();
        if (std::system(curl.c_str()) != 0)
            return 1;
        auto t1 = std::chrono::steady_clock::now();
        std::size_t before = form.notices;
        std::thread worker([&] {
            tw::FreshDownload download(work.string() + "/", "bench.bin");
            spy->GetIntoFile(url, download, tw::DownloadBound::Of(size), 1);
            tw::platform::RenameReplace(download.Path(), target);
        });
        worker.join();
        auto t2 = std::chrono::steady_clock::now();
        notices = form.notices - before;
        before = form.notices;
        std::thread naiveWorker([&] {
            std::ofstream out(target, std::ios::binary | std::ios::trunc);
            every.Get(url, out);
        });
        naiveWorker.join();
        auto t3 = std::chrono::steady_clock::now();
        naiveNotices = form.notices - before;
        tool = std::min(tool, Seconds(t0, t1));
        ours = std::min(ours, Seconds(t1, t2));
        naive = std::min(naive, Seconds(t2, t3));
    }
    if (fs::file_size(target) != size) {
        std::fprintf(stderr, "the download is incomplete\n");
        return 1;
    }
    delete spy;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    fs::remove_all(work);

    std::printf("# worker %.3f s (%zu notices), every event handed over %.3f s (%zu notices), curl -o %.3f s; "
                "1 GiB, best of 3\n",
                ours, notices, naive, naiveNotices, tool);
    std::printf("ratio download-vs-curl: %.2f\n", ours / tool);
    std::printf("ratio download-every-event-vs-curl: %.2f\n", naive / tool);
    return 0;
}
