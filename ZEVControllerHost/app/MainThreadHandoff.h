#pragma once

#include <functional>
#include <mutex>

class QObject;

namespace jolto {

// Hands work from any thread to the thread of one receiver object, which must be the main
// thread. The work runs only while the receiver exists: after `detach` nothing more is posted,
// and what was posted but has not run yet is dropped with the receiver (Qt discards the posted
// events of a deleted object).
//
// Callbacks given to other threads hold this weakly (std::weak_ptr), so they keep neither the
// receiver nor this alive. The mutex only makes "is the receiver still there" and "post to it"
// one step against the receiver's destruction; no work runs under it.
class MainThreadHandoff {
public:
    explicit MainThreadHandoff(QObject* receiver) : receiver_(receiver) {}

    MainThreadHandoff(const MainThreadHandoff&) = delete;
    MainThreadHandoff& operator=(const MainThreadHandoff&) = delete;

    // Queues `work` for the receiver's thread; does nothing once detached.
    void post(std::function<void()> work);
    // Called by the receiver as it is destroyed, on its own thread.
    void detach();

private:
    std::mutex mutex_;
    QObject* receiver_;
};

} // namespace jolto
