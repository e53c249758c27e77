#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantList>

#include "app/HostModelPlatform.h"
#include "app/HostServerFacade.h"
#include "app/MainThreadHandoff.h"
#include "audio/SystemAudioRumble.h"
#include "output/GamepadDevice.h"
#include "output/KeyMapping.h"
#include "output/OutputMode.h"
#include "platform/Log.h"
#include "platform/SettingsStore.h"
#include "protocol/RumbleLevels.h"
#include "server/ClientSnapshot.h"
#include "server/HostEvent.h"
#include "server/ListenerState.h"
#include "store/TrustedDevice.h"

namespace jolto {

// The one observable object between the server and the views. It lives on the main thread for
// the whole run: it starts the server, keeps the user's settings in the settings store and
// forwards each change to the server, turns the server's events into properties, watches input
// access and runs audio rumble while the switch is on.
//
// Every notify signal fires only when the value it announces really changed. The QML-facing
// names and forms are those of the views' contract (strings for enumerations, maps for
// records).
class HostModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString listenerState READ listenerState NOTIFY listenerStateChanged)
    Q_PROPERTY(int listenerPort READ listenerPort NOTIFY listenerPortChanged)
    Q_PROPERTY(QString listenerError READ listenerError NOTIFY listenerErrorChanged)
    Q_PROPERTY(QVariantList clients READ clientList NOTIFY clientsChanged)
    Q_PROPERTY(int clientCount READ clientCount NOTIFY clientsChanged)
    Q_PROPERTY(QString pin READ pin NOTIFY pinChanged)
    Q_PROPERTY(QVariantList trustedDevices READ trustedDeviceList NOTIFY trustedDevicesChanged)
    Q_PROPERTY(bool isAccessibilityTrusted READ isAccessibilityTrusted NOTIFY
                   isAccessibilityTrustedChanged)
    Q_PROPERTY(bool isGamepadEntitled READ isGamepadEntitled NOTIFY isGamepadEntitledChanged)
    Q_PROPERTY(QString gamepadProblem READ gamepadProblem NOTIFY gamepadProblemChanged)
    Q_PROPERTY(
        QString advertisementProblem READ advertisementProblem NOTIFY advertisementProblemChanged)
    Q_PROPERTY(QString hostName READ hostName CONSTANT)
    Q_PROPERTY(
        QString outputMode READ outputModeName WRITE setOutputModeName NOTIFY outputModeChanged)
    Q_PROPERTY(QString gamepadDevice READ gamepadDeviceName WRITE setGamepadDeviceName NOTIFY
                   gamepadDeviceChanged)
    Q_PROPERTY(bool rumbleFromAudio READ rumbleFromAudio WRITE setRumbleFromAudio NOTIFY
                   rumbleFromAudioChanged)
    Q_PROPERTY(bool webPageEnabled READ webPageEnabled WRITE setWebPageEnabled NOTIFY
                   webPageEnabledChanged)
    // The controller page's address (http://ADDRESS:PORT/) while it is served, else empty.
    Q_PROPERTY(QString webPageAddress READ webPageAddress NOTIFY webPageAddressChanged)
    Q_PROPERTY(double rumbleStrength READ rumbleStrength WRITE setRumbleStrength NOTIFY
                   rumbleStrengthChanged)
    Q_PROPERTY(double rumbleLow READ rumbleLow NOTIFY rumbleLevelsChanged)
    Q_PROPERTY(double rumbleHigh READ rumbleHigh NOTIFY rumbleLevelsChanged)
    Q_PROPERTY(QString audioRumbleProblem READ audioRumbleProblem NOTIFY audioRumbleProblemChanged)
    Q_PROPERTY(bool isListeningToAudio READ isListeningToAudio NOTIFY isListeningToAudioChanged)
    Q_PROPERTY(
        QString leftStickAction READ leftStickAction WRITE setLeftStickAction NOTIFY mappingChanged)
    Q_PROPERTY(QString rightStickAction READ rightStickAction WRITE setRightStickAction NOTIFY
                   mappingChanged)
    Q_PROPERTY(double pointerSpeed READ pointerSpeed WRITE setPointerSpeed NOTIFY mappingChanged)
    Q_PROPERTY(double gyroSpeed READ gyroSpeed WRITE setGyroSpeed NOTIFY mappingChanged)
    Q_PROPERTY(QVariantList buttonActions READ buttonActions NOTIFY mappingChanged)
    Q_PROPERTY(QString statusText READ statusText NOTIFY statusTextChanged)
    Q_PROPERTY(QString outputWarning READ outputWarning NOTIFY outputWarningChanged)
    Q_PROPERTY(QString sdlMapping READ sdlMapping CONSTANT)
    Q_PROPERTY(bool pairingPaused READ pairingPaused NOTIFY pairingPauseChanged)
    Q_PROPERTY(QString pairingPausedUntil READ pairingPausedUntil NOTIFY pairingPauseChanged)

public:
    // Runs the start-up sequence: reads the settings, makes and starts the server, starts the
    // access poll and, when the switch is on, audio rumble. `settings` must outlive the model.
    HostModel(SettingsStore& settings, HostModelPlatform platform, QObject* parent = nullptr);
    ~HostModel() override;

    HostModel(const HostModel&) = delete;
    HostModel& operator=(const HostModel&) = delete;

    // The pin shown until the server has drawn one: four middle dots.
    static const QString unknownPIN;

    // C++ side of the fields.
    const ListenerState& listener() const { return listener_; }
    const std::vector<ClientSnapshot>& clients() const { return clients_; }
    const std::vector<TrustedDevice>& trusted() const { return trusted_; }
    OutputMode outputMode() const { return outputMode_; }
    const KeyMapping& mapping() const { return mapping_; }
    RumbleLevels rumbleLevels() const { return rumbleLevels_; }

    void setOutputMode(OutputMode mode);
    GamepadDevice gamepadDevice() const { return gamepadDevice_; }
    // Persists the choice and hands it to the server, which replaces the gamepads it has.
    void setGamepadDevice(GamepadDevice device);
    void setMapping(const KeyMapping& mapping);
    // Applies one server event (on the main thread).
    void handle(const HostEvent& event);
    // Starts or stops audio capture to match the switch.
    void updateAudioRumble();

    // Properties.
    QString listenerState() const;
    int listenerPort() const { return listener_.port; }
    QString listenerError() const { return QString::fromStdString(listener_.error); }
    QVariantList clientList() const;
    int clientCount() const { return static_cast<int>(clients_.size()); }
    QString pin() const { return pin_; }
    QVariantList trustedDeviceList() const;
    bool isAccessibilityTrusted() const { return isAccessibilityTrusted_; }
    bool isGamepadEntitled() const { return isGamepadEntitled_; }
    QString gamepadProblem() const;
    QString advertisementProblem() const;
    QString hostName() const { return hostName_; }
    QString outputModeName() const;
    void setOutputModeName(const QString& mode);
    QString gamepadDeviceName() const;
    void setGamepadDeviceName(const QString& device);
    bool rumbleFromAudio() const { return rumbleFromAudio_; }
    void setRumbleFromAudio(bool on);
    bool webPageEnabled() const { return webPageEnabled_; }
    void setWebPageEnabled(bool on);
    QString webPageAddress() const { return webPageAddress_; }
    double rumbleStrength() const { return rumbleStrength_; }
    void setRumbleStrength(double strength);
    double rumbleLow() const { return rumbleLevels_.low; }
    double rumbleHigh() const { return rumbleLevels_.high; }
    QString audioRumbleProblem() const;
    bool isListeningToAudio() const { return isListeningToAudio_; }
    QString leftStickAction() const;
    void setLeftStickAction(const QString& action);
    QString rightStickAction() const;
    void setRightStickAction(const QString& action);
    double pointerSpeed() const { return mapping_.pointerSpeed; }
    void setPointerSpeed(double speed);
    double gyroSpeed() const { return mapping_.gyroSpeed; }
    void setGyroSpeed(double speed);
    QVariantList buttonActions() const;
    QString statusText() const { return statusText_; }
    QString outputWarning() const { return outputWarning_; }
    QString sdlMapping() const;
    // Wrong PINs paused pairing; until a local time ("14:05", with the date when not today).
    bool pairingPaused() const { return pairingPausedUntil_.isValid(); }
    QString pairingPausedUntil() const;

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

Q_SIGNALS:
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
    void outputModeChanged();
    void gamepadDeviceChanged();
    void rumbleFromAudioChanged();
    void rumbleStrengthChanged();
    void webPageEnabledChanged();
    void webPageAddressChanged();
    void rumbleLevelsChanged();
    void audioRumbleProblemChanged();
    void isListeningToAudioChanged();
    void mappingChanged();
    void statusTextChanged();
    void outputWarningChanged();
    void pairingPauseChanged();

private:
    void setListener(const ListenerState& state);
    void setClients(std::vector<ClientSnapshot> clients);
    void setPIN(const QString& pin);
    void setTrusted(std::vector<TrustedDevice> devices);
    void setGamepadProblem(std::optional<std::string> problem);
    void setAdvertisementProblem(std::optional<std::string> problem);
    void setPairingPause(std::optional<std::chrono::seconds> length);
    void setAccessibilityTrusted(bool trusted);
    void setGamepadEntitled(bool entitled);
    void setRumbleLevels(RumbleLevels levels);
    void setAudioRumbleProblem(std::optional<std::string> problem);
    void setListeningToAudio(bool listening);
    void checkAccess();
    void accessRequestFinished(bool granted);
    void saveMapping();
    void outputDeviceChanged(std::uint64_t generation);
    void rebuildAudioRumble();
    void stopAudioRumble();
    QString statusTextFor() const;
    QString outputWarningFor() const;
    void refreshStatusText();
    void refreshOutputWarning();

    SettingsStore& settings_;
    HostModelPlatform platform_;
    Logger logger_{"Model"};
    // Shared with the callbacks given to other threads, which hold it weakly.
    std::shared_ptr<MainThreadHandoff> handoff_;

    ListenerState listener_;
    std::vector<ClientSnapshot> clients_;
    QString pin_ = unknownPIN;
    std::vector<TrustedDevice> trusted_;
    bool isAccessibilityTrusted_ = false;
    std::optional<std::string> gamepadProblem_;
    std::optional<std::string> advertisementProblem_;
    bool isGamepadEntitled_ = false;
    QString hostName_;
    OutputMode outputMode_ = OutputMode::keyboardMouse;
    GamepadDevice gamepadDevice_ = GamepadDevice::standard;
    bool rumbleFromAudio_ = false;
    double rumbleStrength_ = 1.0;
    bool webPageEnabled_ = true;
    QString webPageAddress_;
    RumbleLevels rumbleLevels_;
    std::optional<std::string> audioRumbleProblem_;
    bool isListeningToAudio_ = false;
    KeyMapping mapping_;
    QString statusText_;
    QString outputWarning_;
    QDateTime pairingPausedUntil_;
    QTimer pairingPauseEnd_;

    std::shared_ptr<HostServerFacade> server_;
    QTimer accessPoll_;
    bool accessRequestRunning_ = false;

    std::unique_ptr<SystemAudioRumble> audioRumble_;
    // Tells the output-change notices of the running capture from those of earlier ones.
    std::uint64_t audioGeneration_ = 0;
    Instant lastAudioStart_{};
    QTimer audioRebuild_;
    int audioRetries_ = 0; // failed starts in a row while switched on
};

} // namespace jolto
