#pragma once

#include <QObject>

// Stands in for the application controller (`app`): counts the requests a view makes.
class FakeAppController : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool hasTray MEMBER hasTray_ NOTIFY hasTrayChanged)
    Q_PROPERTY(int openMainWindowCalls MEMBER openMainWindowCalls_ NOTIFY callsChanged)
    Q_PROPERTY(int quitCalls MEMBER quitCalls_ NOTIFY callsChanged)
    Q_PROPERTY(int closePanelCalls MEMBER closePanelCalls_ NOTIFY callsChanged)

public:
    using QObject::QObject;

    Q_INVOKABLE void openMainWindow() {
        ++openMainWindowCalls_;
        emit callsChanged();
    }
    Q_INVOKABLE void quit() {
        ++quitCalls_;
        emit callsChanged();
    }
    Q_INVOKABLE void closePanel() {
        ++closePanelCalls_;
        emit callsChanged();
    }
    Q_INVOKABLE void reset() {
        hasTray_ = true;
        openMainWindowCalls_ = 0;
        quitCalls_ = 0;
        closePanelCalls_ = 0;
        emit hasTrayChanged();
        emit callsChanged();
    }

signals:
    void hasTrayChanged();
    void callsChanged();

private:
    bool hasTray_ = true;
    int openMainWindowCalls_ = 0;
    int quitCalls_ = 0;
    int closePanelCalls_ = 0;
};
