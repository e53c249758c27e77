#pragma once

#include <QObject>

class QSocketNotifier;

namespace jolto {

// Turns SIGINT and SIGTERM into a Qt signal on the main thread, so that the event loop can
// end normally. One instance per process.
class TerminationSignals : public QObject {
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

Q_SIGNALS:
    void received(int signal);

private:
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace jolto
