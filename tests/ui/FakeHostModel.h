#pragma once

#include <QObject>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

// Stands in for HostModel in the view tests and the screenshot program, every property settable.
// Like the real model it notifies only on real change; `calls` logs every call and every write
// of a writable property, also one that changes nothing. Qt's keywords are spelled out: the
// views test reads it with them switched off.
class FakeHostModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString listenerState MEMBER listenerState_ NOTIFY changed)
    Q_PROPERTY(int listenerPort MEMBER listenerPort_ NOTIFY changed)
    Q_PROPERTY(QString listenerError MEMBER listenerError_ NOTIFY changed)
    Q_PROPERTY(QVariantList clients MEMBER clients_ WRITE setClients NOTIFY changed)
    Q_PROPERTY(int clientCount READ clientCount NOTIFY changed)
    Q_PROPERTY(QString pin MEMBER pin_ NOTIFY changed)
    Q_PROPERTY(QVariantList trustedDevices MEMBER trustedDevices_ NOTIFY changed)
    Q_PROPERTY(bool isAccessibilityTrusted MEMBER isAccessibilityTrusted_ NOTIFY changed)
    Q_PROPERTY(bool isGamepadEntitled MEMBER isGamepadEntitled_ NOTIFY changed)
    Q_PROPERTY(QString gamepadProblem MEMBER gamepadProblem_ NOTIFY changed)
    Q_PROPERTY(QString advertisementProblem MEMBER advertisementProblem_ NOTIFY changed)
    Q_PROPERTY(QString hostName MEMBER hostName_ NOTIFY changed)
    Q_PROPERTY(QString outputMode MEMBER outputMode_ WRITE setOutputMode NOTIFY changed)
    Q_PROPERTY(QString gamepadDevice MEMBER gamepadDevice_ WRITE setGamepadDevice NOTIFY changed)
    Q_PROPERTY(bool webPageEnabled MEMBER webPageEnabled_ WRITE setWebPageEnabled NOTIFY changed)
    Q_PROPERTY(QString webPageAddress MEMBER webPageAddress_ NOTIFY changed)
    Q_PROPERTY(bool rumbleFromAudio MEMBER rumbleFromAudio_ WRITE setRumbleFromAudio NOTIFY changed)
    Q_PROPERTY(double rumbleStrength MEMBER rumbleStrength_ WRITE setRumbleStrength NOTIFY changed)
    Q_PROPERTY(double rumbleLow MEMBER rumbleLow_ NOTIFY changed)
    Q_PROPERTY(double rumbleHigh MEMBER rumbleHigh_ NOTIFY changed)
    Q_PROPERTY(QString audioRumbleProblem MEMBER audioRumbleProblem_ NOTIFY changed)
    Q_PROPERTY(bool isListeningToAudio MEMBER isListeningToAudio_ NOTIFY changed)
    Q_PROPERTY(QString leftStickAction MEMBER leftStick_ WRITE setLeftStickAction NOTIFY changed)
    Q_PROPERTY(QString rightStickAction MEMBER rightStick_ WRITE setRightStickAction NOTIFY changed)
    Q_PROPERTY(double pointerSpeed MEMBER pointerSpeed_ WRITE setPointerSpeed NOTIFY changed)
    Q_PROPERTY(double gyroSpeed MEMBER gyroSpeed_ WRITE setGyroSpeed NOTIFY changed)
    Q_PROPERTY(QVariantList buttonActions MEMBER buttons_ NOTIFY changed)
    Q_PROPERTY(QString statusText READ statusText NOTIFY changed)
    Q_PROPERTY(QString outputWarning READ outputWarning NOTIFY changed)
    Q_PROPERTY(QString sdlMapping MEMBER sdlMapping_ NOTIFY changed)
    Q_PROPERTY(bool pairingPaused MEMBER pairingPaused_ NOTIFY changed)
    Q_PROPERTY(QString pairingPausedUntil MEMBER pairingPausedUntil_ NOTIFY changed)
    Q_PROPERTY(QStringList calls MEMBER calls_ NOTIFY callsChanged)

public:
    explicit FakeHostModel(QObject* parent = nullptr) : QObject(parent) {
        applyPreset(QStringLiteral("shooter"));
        resetCalls();
    }

    void setClients(const QVariantList& clients) { write(clients_, clients); }
    void setOutputMode(const QString& mode) { write(outputMode_, mode, "outputMode"); }
    void setGamepadDevice(const QString& v) { write(gamepadDevice_, v, "gamepadDevice"); }
    void setWebPageEnabled(bool on) { write(webPageEnabled_, on, "webPageEnabled"); }
    void setRumbleFromAudio(bool on) { write(rumbleFromAudio_, on, "rumbleFromAudio"); }
    void setRumbleStrength(double v) { write(rumbleStrength_, v, "rumbleStrength"); }
    void setLeftStickAction(const QString& v) { write(leftStick_, v, "leftStickAction"); }
    void setRightStickAction(const QString& v) { write(rightStick_, v, "rightStickAction"); }
    void setPointerSpeed(double v) { write(pointerSpeed_, v, "pointerSpeed"); }
    void setGyroSpeed(double v) { write(gyroSpeed_, v, "gyroSpeed"); }
    int clientCount() const { return static_cast<int>(clients_.size()); }
    QString statusText() const;
    QString outputWarning() const;

    Q_INVOKABLE void requestAccessibility() { log("requestAccessibility()"); }
    Q_INVOKABLE void openPrivacySettings(const QString& anchor) {
        log("openPrivacySettings(" + anchor + ")");
    }
    Q_INVOKABLE void regeneratePIN() { log("regeneratePIN()"); }
    Q_INVOKABLE void forget(const QString& deviceId) { log("forget(" + deviceId + ")"); }
    Q_INVOKABLE void testRumble() { log("testRumble()"); }
    Q_INVOKABLE void setButtonAction(int button, const QString& kind, int code,
                                     const QString& mouse);
    Q_INVOKABLE void applyPreset(const QString& preset);
    Q_INVOKABLE QString keyName(int macCode) const;
    Q_INVOKABLE int macKeyCodeForScanCode(int nativeScanCode) const;

    // Test helpers.
    Q_INVOKABLE void reset();
    Q_INVOKABLE void resetCalls() {
        calls_.clear();
        Q_EMIT callsChanged();
    }
    Q_INVOKABLE void setRumbleLevels(double low, double high) {
        write(rumbleLow_, low);
        write(rumbleHigh_, high);
    }
    Q_INVOKABLE QVariantMap makeState(int buttons, double leftX = 0, double leftY = 0,
                                      double rightX = 0, double rightY = 0, double leftTrigger = 0,
                                      double rightTrigger = 0) const;
    Q_INVOKABLE QVariantMap makeClient(const QString& name, int playerNumber, bool isStale,
                                       const QVariantMap& state) const;
    Q_INVOKABLE QVariantMap makeDevice(const QString& name, double secondsAgo) const;

Q_SIGNALS:
    void changed();
    void callsChanged();

private:
    // Logs the write under `name` (when given), and notifies only when the value changed.
    template <typename T> void write(T& field, const T& value, const char* name = nullptr) {
        if (name != nullptr) {
            log(QString::fromLatin1(name) + "=" + QVariant::fromValue(value).toString());
        }
        if (field != value) {
            field = value;
            Q_EMIT changed();
        }
    }
    void log(const QString& call) {
        calls_.append(call);
        Q_EMIT callsChanged();
    }

    // The state after reset().
    QString listenerState_ = "ready", listenerError_, pin_ = "4821", gamepadProblem_;
    QString advertisementProblem_, hostName_ = "Workshop PC", outputMode_ = "keyboardMouse";
    QString gamepadDevice_ = "standard", webPageAddress_ = "http://192.168.1.20:41234/";
    QString audioRumbleProblem_, leftStick_, rightStick_, pairingPausedUntil_;
    QString sdlMapping_ = "05000000091200000100000000010000,JOLTO Controller,a:b0,b:b1,x:b2,"
                          "y:b3,leftshoulder:b4,rightshoulder:b5,platform:Linux,";
    QVariantList clients_, trustedDevices_, buttons_;
    int listenerPort_ = 52110;
    bool isAccessibilityTrusted_ = true, isGamepadEntitled_ = true, pairingPaused_ = false;
    bool rumbleFromAudio_ = false, webPageEnabled_ = true, isListeningToAudio_ = false;
    double rumbleStrength_ = 1.0, rumbleLow_ = 0, rumbleHigh_ = 0;
    double pointerSpeed_ = 1400, gyroSpeed_ = 1100;
    QStringList calls_;
};
