// Native threads kept from one call to the next (workers.hpp).
#include "batch/workers.hpp"

#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#define VI_WORKERS_FORK 1
#else
#define VI_WORKERS_FORK 0
#endif

namespace vi::batch {
namespace {

// At most this many threads are kept (beyond the calling one); a call that needs more
// starts its own.
int max_kept() noexcept {
    const unsigned n = std::thread::hardware_concurrency();
    return n < 2 ? 1 : n > 256 ? 255 : static_cast<int>(n) - 1;
}

class Workers {
public:
    bool run(int count, void (*task)(void*, int) noexcept, void* context) noexcept {
        std::unique_lock<std::mutex> mine(call_, std::try_to_lock);
        if (!mine.owns_lock() || count - 1 > max_kept()) return false;
        {
            std::lock_guard<std::mutex> hold(state_);
            while (started_ < count - 1) {
                try {
                    std::thread(&Workers::loop, this).detach();
                } catch (...) {
                    break;  // the tasks left over are taken by the calling thread
                }
                ++started_;
            }
            task_ = task;
            context_ = context;
            next_ = 1;
            end_ = count;
            pending_ = count - 1;
        }
        wake_.notify_all();
        task(context, 0);
        for (;;) {
            int t;
            {
                std::lock_guard<std::mutex> hold(state_);
                if (next_ >= end_) break;
                t = next_++;
            }
            task(context, t);
            finish();
        }
        std::unique_lock<std::mutex> hold(state_);
        finished_.wait(hold, [this] { return pending_ == 0; });
        return true;
    }

private:
    void loop() noexcept {
        for (;;) {
            int t;
            void (*task)(void*, int) noexcept;
            void* context;
            {
                std::unique_lock<std::mutex> hold(state_);
                wake_.wait(hold, [this] { return next_ < end_; });
                t = next_++;
                task = task_;
                context = context_;
            }
            task(context, t);
            finish();
        }
    }

    void finish() noexcept {
        std::lock_guard<std::mutex> hold(state_);
        if (--pending_ == 0) finished_.notify_all();
    }

    std::mutex call_;   // held by the call the workers serve
    std::mutex state_;  // guards everything below
    std::condition_variable wake_, finished_;
    int started_ = 0;
    void (*task_)(void*, int) noexcept = nullptr;
    void* context_ = nullptr;
    int next_ = 0, end_ = 0, pending_ = 0;
};

// Never destroyed (placed in static storage): kept threads wait on it until the process
// ends. A child made by fork() has none of the parent's threads, so it starts afresh with a
// pool of its own (the parent's, possibly in the middle of a call, is abandoned unread).
alignas(Workers) unsigned char storage[sizeof(Workers)];
Workers* current = nullptr;

#if VI_WORKERS_FORK
void after_fork_in_child() noexcept { current = new (storage) Workers; }
#endif

Workers& workers() noexcept {
    static const bool made = [] {
        current = new (storage) Workers;
#if VI_WORKERS_FORK
        pthread_atfork(nullptr, nullptr, after_fork_in_child);
#endif
        return true;
    }();
    (void)made;
    return *current;
}

}  // namespace

bool run_on_workers(int count, void (*task)(void*, int) noexcept, void* context) noexcept {
    if (count <= 1) {
        task(context, 0);
        return true;
    }
    return workers().run(count, task, context);
}

}  // namespace vi::batch
