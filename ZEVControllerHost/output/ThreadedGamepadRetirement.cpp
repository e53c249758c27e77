#include "output/ThreadedGamepadRetirement.h"

#include <system_error>
#include <utility>

namespace jolto {

ThreadedGamepadRetirement::~ThreadedGamepadRetirement() {
    for (;;) {
        std::list<Worker> all;
        {
            std::lock_guard lock(mutex_);
            if (workers_.empty()) {
                return;
            }
            all.splice(all.end(), workers_);
        }
        // A worker may still be joining ones it took out of the list; joining it covers those.
        for (auto& worker : all) {
            worker.thread.join();
        }
    }
}

void ThreadedGamepadRetirement::retire(std::unique_ptr<GamepadHandle> gamepad,
                                       std::function<void()> gone) {
    struct Job {
        std::unique_ptr<GamepadHandle> gamepad;
        std::function<void()> gone;
        void run() {
            gamepad.reset();
            if (gone) {
                gone();
            }
        }
    };
    auto job = std::make_shared<Job>(Job{std::move(gamepad), std::move(gone)});
    {
        std::lock_guard lock(mutex_);
        auto worker = workers_.emplace(workers_.end());
        try {
            // The worker starts by taking the lock, so it sees its own entry complete.
            worker->thread = std::thread([this, worker, job] {
                joinFinished();
                job->run();
                std::lock_guard done(mutex_);
                worker->done = true;
            });
            return;
        } catch (const std::system_error&) {
            workers_.erase(worker);
        }
    }
    job->run();
}

void ThreadedGamepadRetirement::joinFinished() {
    std::list<Worker> finished;
    {
        std::lock_guard lock(mutex_);
        for (auto it = workers_.begin(); it != workers_.end();) {
            auto next = std::next(it);
            if (it->done) {
                finished.splice(finished.end(), workers_, it);
            }
            it = next;
        }
    }
    // Each of them has nothing left to do but return.
    for (auto& worker : finished) {
        worker.thread.join();
    }
}

} // namespace jolto
