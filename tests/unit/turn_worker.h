// A thread that runs one task at a time, handed over by the test's thread, which waits for
// it: several threads (several counter slots) act in an order the test chooses, so that a
// test of per-thread state is deterministic.
#ifndef QJ_TESTS_UNIT_TURN_WORKER_H
#define QJ_TESTS_UNIT_TURN_WORKER_H

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class TurnWorker {
public:
    TurnWorker() : thread_([this] { loop(); }) {}
    ~TurnWorker() {
        run(nullptr);
        thread_.join();
    }
    TurnWorker(const TurnWorker&) = delete;
    TurnWorker& operator=(const TurnWorker&) = delete;

    // Runs `task` on the worker's thread and returns when it is done; an empty task ends
    // the thread.
    void run(std::function<void()> task) {
        std::unique_lock<std::mutex> lock(mutex_);
        task_ = std::move(task);
        pending_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !pending_; });
    }

private:
    void loop() {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return pending_; });
            std::function<void()> task = std::move(task_);
            if (task)
                task();
            pending_ = false;
            changed_.notify_all();
            if (!task)
                return;
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::function<void()> task_;
    bool pending_ = false;
    std::thread thread_;
};

#endif // QJ_TESTS_UNIT_TURN_WORKER_H
