#pragma once

#include <QObject>
#include <QStringList>

// Stands in for the application controller (`app`): logs the requests a view makes.
class FakeAppController : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool hasTray MEMBER hasTray_ NOTIFY changed)
    Q_PROPERTY(QStringList calls MEMBER calls_ NOTIFY changed)

public:
    using QObject::QObject;

    Q_INVOKABLE void openMainWindow() { log("openMainWindow()"); }
    Q_INVOKABLE void quit() { log("quit()"); }
    Q_INVOKABLE void closePanel() { log("closePanel()"); }
    Q_INVOKABLE void reset() {
        hasTray_ = true;
        calls_.clear();
        emit changed();
    }

signals:
    void changed();

private:
    void log(const QString& call) {
        calls_.append(call);
        emit changed();
    }

    bool hasTray_ = true;
    QStringList calls_;
};
