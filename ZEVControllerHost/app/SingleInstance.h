#pragma once

#include <chrono>
#include <memory>

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

namespace jolto {

// One JOLTO Host per user: the first process holds a lock file and listens on a local socket
// in the user's runtime folder ($XDG_RUNTIME_DIR/jolto-host); a later launch finds the lock
// held, tells the first one over the socket and ends.
//
// On the socket a launch sends one line, "activate" (a windowed launch: bring the main window
// forward) or "query" (a headless launch, which only wants to know), and the running instance
// answers one line with its kind: "window" or "headless".
class SingleInstance : public QObject {
    Q_OBJECT

public:
    enum class Kind { window, headless };
    enum class Claim {
        first,           // this process is the instance
        reachedWindow,   // a windowed instance runs (and was asked to come forward)
        reachedHeadless, // a headless instance runs
        failed,          // another instance holds the lock but did not answer
    };

    explicit SingleInstance(Kind kind, QObject* parent = nullptr);
    ~SingleInstance() override;

    // $XDG_RUNTIME_DIR/jolto-host, or a private folder in /tmp named after the user.
    static QString folder();

    Claim claim(std::chrono::milliseconds timeout = std::chrono::seconds(10));

Q_SIGNALS:
    // A windowed launch asked for the main window.
    void activationRequested();

private:
    Claim reachRunning(std::chrono::milliseconds timeout);
    void answer();

    Kind kind_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer server_;
};

} // namespace jolto
