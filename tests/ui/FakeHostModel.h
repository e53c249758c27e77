#pragma once

#include <QDateTime>
#include <QObject>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

// Stands in for HostModel in the view tests and the screenshot program: the same properties
// and invokables as the model the views are written against, with every read-only property
// also settable so that a test can put the model into any state. Like the real model it
// notifies only on real change and counts a mapping write only when the mapping changed; every
// call and every write that a view makes is logged in `calls`.
class FakeHostModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString listenerState MEMBER listenerState_ NOTIFY listenerStateChanged)
    Q_PROPERTY(int listenerPort MEMBER listenerPort_ NOTIFY listenerPortChanged)
    Q_PROPERTY(QString listenerError MEMBER listenerError_ NOTIFY listenerErrorChanged)
    Q_PROPERTY(QVariantList clients READ clients WRITE setClients NOTIFY clientsChanged)
    Q_PROPERTY(int clientCount READ clientCount NOTIFY clientsChanged)
    Q_PROPERTY(QString pin MEMBER pin_ NOTIFY pinChanged)
    Q_PROPERTY(QVariantList trustedDevices MEMBER trustedDevices_ NOTIFY trustedDevicesChanged)
    Q_PROPERTY(bool isAccessibilityTrusted MEMBER isAccessibilityTrusted_ NOTIFY
                   isAccessibilityTrustedChanged)
    Q_PROPERTY(bool isGamepadEntitled MEMBER isGamepadEntitled_ NOTIFY isGamepadEntitledChanged)
    Q_PROPERTY(QString gamepadProblem MEMBER gamepadProblem_ NOTIFY gamepadProblemChanged)
    Q_PROPERTY(QString advertisementProblem MEMBER advertisementProblem_ NOTIFY
                   advertisementProblemChanged)
    Q_PROPERTY(QString hostName MEMBER hostName_ NOTIFY hostNameChanged)
    Q_PROPERTY(QString outputMode READ outputMode WRITE setOutputMode NOTIFY outputModeChanged)
    Q_PROPERTY(QString gamepadDevice MEMBER gamepadDevice_ NOTIFY gamepadDeviceChanged)
    Q_PROPERTY(bool webPageEnabled MEMBER webPageEnabled_ NOTIFY webPageChanged)
    Q_PROPERTY(QString webPageAddress MEMBER webPageAddress_ NOTIFY webPageChanged)
    Q_PROPERTY(bool rumbleFromAudio READ rumbleFromAudio WRITE setRumbleFromAudio NOTIFY
                   rumbleFromAudioChanged)
    Q_PROPERTY(double rumbleStrength READ rumbleStrength WRITE setRumbleStrength NOTIFY
                   rumbleStrengthChanged)
    Q_PROPERTY(double rumbleLow MEMBER rumbleLow_ NOTIFY rumbleLevelsChanged)
    Q_PROPERTY(double rumbleHigh MEMBER rumbleHigh_ NOTIFY rumbleLevelsChanged)
    Q_PROPERTY(
        QString audioRumbleProblem MEMBER audioRumbleProblem_ NOTIFY audioRumbleProblemChanged)
    Q_PROPERTY(bool isListeningToAudio MEMBER isListeningToAudio_ NOTIFY isListeningToAudioChanged)
    Q_PROPERTY(
        QString leftStickAction READ leftStickAction WRITE setLeftStickAction NOTIFY mappingChanged)
    Q_PROPERTY(QString rightStickAction READ rightStickAction WRITE setRightStickAction NOTIFY
                   mappingChanged)
    Q_PROPERTY(double pointerSpeed READ pointerSpeed WRITE setPointerSpeed NOTIFY mappingChanged)
    Q_PROPERTY(double gyroSpeed READ gyroSpeed WRITE setGyroSpeed NOTIFY mappingChanged)
    Q_PROPERTY(QVariantList buttonActions READ buttonActions NOTIFY mappingChanged)
    Q_PROPERTY(QString statusText READ statusText NOTIFY statusTextChanged)
    Q_PROPERTY(QString outputWarning READ outputWarning NOTIFY outputWarningChanged)
    Q_PROPERTY(QString sdlMapping MEMBER sdlMapping_ NOTIFY sdlMappingChanged)
    Q_PROPERTY(bool pairingPaused MEMBER pairingPaused_ NOTIFY pairingPauseChanged)
    Q_PROPERTY(QString pairingPausedUntil MEMBER pairingPausedUntil_ NOTIFY pairingPauseChanged)

    // For the tests only.
    Q_PROPERTY(QStringList calls READ calls NOTIFY callsChanged)
    Q_PROPERTY(int mappingWrites READ mappingWrites NOTIFY callsChanged)

public:
    explicit FakeHostModel(QObject* parent = nullptr);

    QVariantList clients() const { return clients_; }
    void setClients(const QVariantList& clients);
    int clientCount() const { return static_cast<int>(clients_.size()); }
    QString outputMode() const { return outputMode_; }
    void setOutputMode(const QString& mode);
    bool rumbleFromAudio() const { return rumbleFromAudio_; }
    void setRumbleFromAudio(bool on);
    double rumbleStrength() const { return rumbleStrength_; }
    void setRumbleStrength(double strength);
    QString leftStickAction() const { return mapping_.leftStick; }
    void setLeftStickAction(const QString& action);
    QString rightStickAction() const { return mapping_.rightStick; }
    void setRightStickAction(const QString& action);
    double pointerSpeed() const { return mapping_.pointerSpeed; }
    void setPointerSpeed(double speed);
    double gyroSpeed() const { return mapping_.gyroSpeed; }
    void setGyroSpeed(double speed);
    QVariantList buttonActions() const;
    QString statusText() const;
    QString outputWarning() const;
    QStringList calls() const { return calls_; }
    int mappingWrites() const { return mappingWrites_; }

    Q_INVOKABLE void requestAccessibility();
    Q_INVOKABLE void openPrivacySettings(const QString& anchor);
    Q_INVOKABLE void regeneratePIN();
    Q_INVOKABLE void forget(const QString& deviceId);
    Q_INVOKABLE void testRumble();
    Q_INVOKABLE void setButtonAction(int button, const QString& kind, int code,
                                     const QString& mouse);
    Q_INVOKABLE void applyPreset(const QString& preset);
    Q_INVOKABLE QString keyName(int macCode) const;
    Q_INVOKABLE int macKeyCodeForScanCode(int nativeScanCode) const;

    // Test helpers.
    Q_INVOKABLE void reset();
    Q_INVOKABLE void resetCalls();
    Q_INVOKABLE void setRumbleLevels(double low, double high);
    // A state map with the given buttons pressed and sticks/triggers at the given values.
    Q_INVOKABLE QVariantMap makeState(int buttons, double leftX = 0, double leftY = 0,
                                      double rightX = 0, double rightY = 0, double leftTrigger = 0,
                                      double rightTrigger = 0) const;
    Q_INVOKABLE QVariantMap makeClient(const QString& name, int playerNumber, bool isStale,
                                       const QVariantMap& state) const;
    Q_INVOKABLE QVariantMap makeDevice(const QString& name, double secondsAgo) const;

signals:
    void listenerStateChanged();
    void listenerPortChanged();
    void listenerErrorChanged();
    void clientsChanged();
    void pinChanged();
    void trustedDevicesChanged();
    void isAccessibilityTrustedChanged();
    void isGamepadEntitledChanged();
    void gamepadProblemChanged();
    void advertisementProblemChanged();
    void hostNameChanged();
    void outputModeChanged();
    void rumbleFromAudioChanged();
    void webPageChanged();
    void rumbleStrengthChanged();
    void rumbleLevelsChanged();
    void audioRumbleProblemChanged();
    void isListeningToAudioChanged();
    void mappingChanged();
    void statusTextChanged();
    void outputWarningChanged();
    void sdlMappingChanged();
    void gamepadDeviceChanged();
    void pairingPauseChanged();
    void callsChanged();

private:
    struct Action {
        QString kind = QStringLiteral("none");
        int code = 0;
        QString mouse;
        bool operator==(const Action&) const = default;
    };
    struct Mapping {
        QList<Action> buttons;
        QString leftStick;
        QString rightStick;
        double pointerSpeed = 1400;
        double gyroSpeed = 1100;
        bool operator==(const Mapping&) const = default;
    };
    static Mapping preset(const QString& name);
    QString label(const Action& action) const;
    void log(const QString& call);
    void assignMapping(const Mapping& mapping);

    QString listenerState_;
    int listenerPort_ = 0;
    QString listenerError_;
    QVariantList clients_;
    QString pin_;
    QVariantList trustedDevices_;
    bool isAccessibilityTrusted_ = false;
    bool isGamepadEntitled_ = false;
    bool pairingPaused_ = false;
    QString pairingPausedUntil_;
    QString gamepadProblem_;
    QString advertisementProblem_;
    QString hostName_;
    QString outputMode_;
    bool rumbleFromAudio_ = false;
    bool webPageEnabled_ = true;
    QString webPageAddress_ = QStringLiteral("http://192.168.1.20:41234/");
    double rumbleStrength_ = 1.0;
    double rumbleLow_ = 0;
    double rumbleHigh_ = 0;
    QString audioRumbleProblem_;
    bool isListeningToAudio_ = false;
    Mapping mapping_;
    QString sdlMapping_;
    QString gamepadDevice_ = QStringLiteral("standard");
    QStringList calls_;
    int mappingWrites_ = 0;
};
