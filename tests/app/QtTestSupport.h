#pragma once

#include <chrono>
#include <functional>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

namespace jolto {

// Runs the event loop until `done` holds or `timeout` has passed; returns `done`'s last answer.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeout.count()) {
            return done();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

inline bool waitForEnd(QProcess& process,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    return waitUntil([&] { return process.state() == QProcess::NotRunning; }, timeout);
}

inline void drainEvents() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

} // namespace jolto
