#pragma once

#include <QObject>

// Stands in for the application controller (`app`): counts the requests a view makes.
class FakeAppController : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool hasTray MEMBER hasTray_ NOTIFY changed)
    Q_PROPERTY(int openMainWindowCalls MEMBER openMainWindowCalls_ NOTIFY changed)
    Q_PROPERTY(int quitCalls MEMBER quitCalls_ NOTIFY changed)
    Q_PROPERTY(int closePanelCalls MEMBER closePanelCalls_ NOTIFY changed)

public:
    using QObject::QObject;

    Q_INVOKABLE void openMainWindow() { count(openMainWindowCalls_); }
    Q_INVOKABLE void quit() { count(quitCalls_); }
    Q_INVOKABLE void closePanel() { count(closePanelCalls_); }
    Q_INVOKABLE void reset() {
        hasTray_ = true;
        openMainWindowCalls_ = quitCalls_ = closePanelCalls_ = 0;
        emit changed();
    }

signals:
    void changed();

private:
    void count(int& calls) {
        ++calls;
        emit changed();
    }

    bool hasTray_ = true;
    int openMainWindowCalls_ = 0, quitCalls_ = 0, closePanelCalls_ = 0;
};
