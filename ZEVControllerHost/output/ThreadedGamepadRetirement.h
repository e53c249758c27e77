#pragma once

#include <list>
#include <mutex>
#include <thread>

#include "output/GamepadRetirement.h"

namespace jolto {

// Ends each gamepad on a thread of its own, so that one stuck device holds up nobody else's.
// The threads are joined by later ones and, at the latest, by the destructor, which waits for
// every gamepad handed over: no thread outlives the retirement.
class ThreadedGamepadRetirement final : public GamepadRetirement {
public:
    ThreadedGamepadRetirement() = default;
    ~ThreadedGamepadRetirement() override;

    ThreadedGamepadRetirement(const ThreadedGamepadRetirement&) = delete;
    ThreadedGamepadRetirement& operator=(const ThreadedGamepadRetirement&) = delete;

    // Never waits: when no thread can be started the gamepad ends on the caller's thread.
    void retire(std::unique_ptr<GamepadHandle> gamepad, std::function<void()> gone) override;

private:
    struct Worker {
        std::thread thread;
        bool done = false;
    };

    // Joins the workers that have finished; on a worker thread, never the caller's.
    void joinFinished();

    std::mutex mutex_;
    std::list<Worker> workers_;
};

} // namespace jolto
