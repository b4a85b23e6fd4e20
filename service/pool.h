#pragma once
// The service's connection pool: one thread per open connection, started on demand up to a cap.
// A fixed pool is used up by idle keep-alive connections (each aria2c opens several per file, and
// a client that connects and says nothing holds its thread until the read times out), and every
// other launcher then waits behind them. Threads that have been idle for a while end.
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tws {

class ElasticPool : public httplib::TaskQueue {
public:
    explicit ElasticPool(std::size_t maxThreads) : max_(maxThreads) {}
    ~ElasticPool() override { shutdown(); }

    void enqueue(std::function<void()> fn) override {
        std::unique_lock lock(mutex_);
        jobs_.push_back(std::move(fn));
        if (idle_ < jobs_.size() && running_ < max_) {
            ++running_;
            std::thread(&ElasticPool::Work, this).detach();
        }
        wake_.notify_one();
    }

    void shutdown() override {
        std::unique_lock lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
        done_.wait(lock, [&] { return running_ == 0; });
    }

private:
    void Work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            const bool woke =
                wake_.wait_for(lock, std::chrono::seconds(30), [&] { return stopping_ || !jobs_.empty(); });
            --idle_;
            if (jobs_.empty() && (stopping_ || !woke))
                break;
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
        if (--running_ == 0)
            done_.notify_all();
    }

    const std::size_t max_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::deque<std::function<void()>> jobs_;
    std::size_t running_ = 0, idle_ = 0;
    bool stopping_ = false;
};

} // namespace tws
