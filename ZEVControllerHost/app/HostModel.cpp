#include "app/HostModel.h"

#include <cmath>

#include <QDateTime>
#include <QLocale>
#include <QVariantMap>

#include "output/SdlMapping.h"

namespace jolto {

namespace {

constexpr std::string_view outputModeKey = "outputMode";
constexpr std::string_view gamepadDeviceKey = "gamepadDevice";
constexpr std::string_view keyMappingKey = "keyMapping";
constexpr std::string_view rumbleFromAudioKey = "rumbleFromAudio";
constexpr std::string_view rumbleStrengthKey = "rumbleStrength";
// Stored as "off" so that a settings file without it serves the page.
constexpr std::string_view webPageOffKey = "webPageOff";

constexpr double defaultRumbleStrength = 1.0;
constexpr const char* fallbackHostName = "Linux";

// Trusted devices keep their last-seen time in seconds since 2001-01-01 00:00:00 UTC.
constexpr qint64 referenceDateEpochSeconds = 978307200;

KeyMapping storedMapping(const SettingsStore& settings) {
    if (auto bytes = settings.data(keyMappingKey)) {
        std::string_view json(reinterpret_cast<const char*>(bytes->data()), bytes->size());
        if (auto decoded = decodeKeyMapping(json)) {
            return *decoded.value;
        }
    }
    return KeyMapping::shooter();
}

QString optionalText(const std::optional<std::string>& text) {
    return text ? QString::fromStdString(*text) : QString();
}

QVariantMap stateMap(const ControllerState& state) {
    return {
        {QStringLiteral("buttons"), static_cast<int>(state.buttons.rawValue())},
        {QStringLiteral("leftX"), state.leftStick.x},
        {QStringLiteral("leftY"), state.leftStick.y},
        {QStringLiteral("rightX"), state.rightStick.x},
        {QStringLiteral("rightY"), state.rightStick.y},
        {QStringLiteral("leftTrigger"), state.leftTrigger},
        {QStringLiteral("rightTrigger"), state.rightTrigger},
    };
}

} // namespace

const QString HostModel::unknownPIN = QStringLiteral("\u00B7\u00B7\u00B7\u00B7");

HostModel::HostModel(SettingsStore& settings, HostModelPlatform platform, QObject* parent)
    : QObject(parent), settings_(settings), platform_(std::move(platform)),
      handoff_(std::make_shared<MainThreadHandoff>(this)) {
    // The fields start at their member defaults: listener starting, no clients, no trusted
    // phones, the unknown PIN, no problems, zero levels, not listening. Nothing below writes
    // to the store or notifies; the server hears only the start request.
    isAccessibilityTrusted_ = platform_.hasInputAccess && platform_.hasInputAccess();
    // Only the exact raw value selects the HID gamepad; anything else is the standard one.
    auto storedDevice = settings_.string(gamepadDeviceKey);
    gamepadDevice_ = storedDevice && *storedDevice == rawValue(GamepadDevice::hid)
                         ? GamepadDevice::hid
                         : GamepadDevice::standard;
    isGamepadEntitled_ = platform_.hasGamepadAccess && platform_.hasGamepadAccess(gamepadDevice_);

    std::string name = platform_.computerName ? platform_.computerName() : std::string();
    if (name.empty()) {
        name = fallbackHostName;
    }
    hostName_ = QString::fromStdString(name);
    server_ = platform_.makeServer(name);

    // Only the exact raw value selects gamepads; anything else is the keyboard and mouse.
    auto storedMode = settings_.string(outputModeKey);
    outputMode_ = storedMode && *storedMode == rawValue(OutputMode::gamepad)
                      ? OutputMode::gamepad
                      : OutputMode::keyboardMouse;
    mapping_ = storedMapping(settings_);
    settings_.registerFallback(rumbleStrengthKey, defaultRumbleStrength);
    rumbleFromAudio_ = settings_.boolean(rumbleFromAudioKey);
    rumbleStrength_ = settings_.number(rumbleStrengthKey);
    // The store can hold NaN and the infinities; none of them is a strength the server could
    // scale rumble by.
    if (!std::isfinite(rumbleStrength_)) {
        rumbleStrength_ = defaultRumbleStrength;
    }
    statusText_ = statusTextFor();
    outputWarning_ = outputWarningFor();

    webPageEnabled_ = !settings_.boolean(webPageOffKey);

    // The strength first, so that the first rumble the server sends is already scaled.
    server_->setRumbleStrength(static_cast<float>(rumbleStrength_));
    // Before the start, so that no gamepad of the other kind is ever made.
    if (gamepadDevice_ != GamepadDevice::standard) {
        server_->setGamepadDevice(gamepadDevice_);
    }
    server_->setWebPage(webPageEnabled_);
    std::weak_ptr<MainThreadHandoff> weakHandoff = handoff_;
    server_->start(outputMode_, mapping_, [weakHandoff, this](const HostEvent& event) {
        if (auto handoff = weakHandoff.lock()) {
            // Runs only while the model exists: the handoff posts to the model itself.
            handoff->post([this, event] { handle(event); });
        }
    });

    accessPoll_.setInterval(platform_.accessPollInterval);
    connect(&accessPoll_, &QTimer::timeout, this, &HostModel::checkAccess);
    accessPoll_.start();

    pairingPauseEnd_.setSingleShot(true);
    connect(&pairingPauseEnd_, &QTimer::timeout, this, [this] { setPairingPause(std::nullopt); });

    audioRebuild_.setSingleShot(true);
    connect(&audioRebuild_, &QTimer::timeout, this, &HostModel::rebuildAudioRumble);
    updateAudioRumble();
}

HostModel::~HostModel() {
    // Callbacks still held by the server or the capture do nothing from here on.
    handoff_->detach();
    // Stopping still tells the server that audio rumble is over.
    audioRumble_.reset();
}

// MARK: Server events

void HostModel::handle(const HostEvent& event) {
    if (auto e = event.get<HostEvent::Listener>()) {
        setListener(e->state);
    } else if (auto e = event.get<HostEvent::Clients>()) {
        setClients(e->clients);
    } else if (auto e = event.get<HostEvent::Pin>()) {
        setPIN(QString::fromStdString(e->pin));
    } else if (auto e = event.get<HostEvent::Trusted>()) {
        setTrusted(e->devices);
    } else if (auto e = event.get<HostEvent::GamepadProblem>()) {
        setGamepadProblem(e->problem);
    } else if (auto e = event.get<HostEvent::Advertisement>()) {
        setAdvertisementProblem(e->problem);
    } else if (auto e = event.get<HostEvent::WebPage>()) {
        auto address = QString::fromStdString(e->address);
        if (address != webPageAddress_) {
            webPageAddress_ = address;
            Q_EMIT webPageAddressChanged();
        }
    } else if (auto e = event.get<HostEvent::PairingPause>()) {
        setPairingPause(e->length);
    }
}

void HostModel::setPairingPause(std::optional<std::chrono::seconds> length) {
    if (!length) {
        pairingPauseEnd_.stop();
        if (!pairingPausedUntil_.isValid()) {
            return;
        }
        pairingPausedUntil_ = QDateTime();
        Q_EMIT pairingPauseChanged();
        return;
    }
    pairingPausedUntil_ = QDateTime::currentDateTime().addSecs(length->count());
    pairingPauseEnd_.start(std::chrono::duration_cast<std::chrono::milliseconds>(*length));
    Q_EMIT pairingPauseChanged();
}

QString HostModel::pairingPausedUntil() const {
    if (!pairingPausedUntil_.isValid()) {
        return {};
    }
    QDateTime until = pairingPausedUntil_;
    // Shown to the minute, rounded up, so that the notice never names a time already past.
    if (until.time().second() != 0 || until.time().msec() != 0) {
        until = until.addSecs(60 - until.time().second()).addMSecs(-until.time().msec());
    }
    const QLocale locale;
    if (until.date() == QDate::currentDate()) {
        return locale.toString(until.time(), QLocale::ShortFormat);
    }
    return locale.toString(until, QLocale::ShortFormat);
}

void HostModel::setListener(const ListenerState& state) {
    if (state == listener_) {
        return;
    }
    const ListenerState previous = listener_;
    listener_ = state;
    if (previous.kind != state.kind) {
        Q_EMIT listenerStateChanged();
    }
    if (previous.port != state.port) {
        Q_EMIT listenerPortChanged();
    }
    if (previous.error != state.error) {
        Q_EMIT listenerErrorChanged();
    }
    refreshStatusText();
}

void HostModel::setClients(std::vector<ClientSnapshot> clients) {
    if (clients == clients_) {
        return;
    }
    clients_ = std::move(clients);
    Q_EMIT clientsChanged();
    refreshStatusText();
}

void HostModel::setPIN(const QString& pin) {
    if (pin == pin_) {
        return;
    }
    pin_ = pin;
    Q_EMIT pinChanged();
}

void HostModel::setTrusted(std::vector<TrustedDevice> devices) {
    if (devices == trusted_) {
        return;
    }
    trusted_ = std::move(devices);
    Q_EMIT trustedDevicesChanged();
}

void HostModel::setGamepadProblem(std::optional<std::string> problem) {
    if (problem == gamepadProblem_) {
        return;
    }
    gamepadProblem_ = std::move(problem);
    Q_EMIT gamepadProblemChanged();
    refreshOutputWarning();
}

void HostModel::setAdvertisementProblem(std::optional<std::string> problem) {
    if (problem == advertisementProblem_) {
        return;
    }
    advertisementProblem_ = std::move(problem);
    Q_EMIT advertisementProblemChanged();
}

// MARK: Read-only properties

QString HostModel::listenerState() const {
    switch (listener_.kind) {
    case ListenerState::Kind::ready:
        return QStringLiteral("ready");
    case ListenerState::Kind::failed:
        return QStringLiteral("failed");
    case ListenerState::Kind::starting:
        break;
    }
    return QStringLiteral("starting");
}

QVariantList HostModel::clientList() const {
    QVariantList list;
    list.reserve(static_cast<qsizetype>(clients_.size()));
    for (const auto& client : clients_) {
        list.append(QVariantMap{
            {QStringLiteral("id"), QString::fromStdString(client.id.string())},
            {QStringLiteral("name"), QString::fromStdString(client.name)},
            {QStringLiteral("playerNumber"), client.playerNumber},
            {QStringLiteral("isStale"), client.isStale},
            {QStringLiteral("state"), stateMap(client.state)},
        });
    }
    return list;
}

QVariantList HostModel::trustedDeviceList() const {
    QVariantList list;
    list.reserve(static_cast<qsizetype>(trusted_.size()));
    for (const auto& device : trusted_) {
        const auto lastSeen =
            QDateTime::fromSecsSinceEpoch(referenceDateEpochSeconds, Qt::UTC)
                .addMSecs(static_cast<qint64>(
                    std::llround(std::isfinite(device.lastSeen) ? device.lastSeen * 1000 : 0.0)));
        list.append(QVariantMap{
            {QStringLiteral("id"), QString::fromStdString(device.id.string())},
            {QStringLiteral("name"), QString::fromStdString(device.name)},
            {QStringLiteral("lastSeen"), lastSeen},
        });
    }
    return list;
}

QString HostModel::gamepadProblem() const {
    return optionalText(gamepadProblem_);
}

QString HostModel::advertisementProblem() const {
    return optionalText(advertisementProblem_);
}

QString HostModel::audioRumbleProblem() const {
    return optionalText(audioRumbleProblem_);
}

QString HostModel::sdlMapping() const {
    return QString::fromUtf8(sdlGameControllerMapping.data(),
                             static_cast<qsizetype>(sdlGameControllerMapping.size()));
}

// MARK: Derived texts

QString HostModel::statusTextFor() const {
    switch (listener_.kind) {
    case ListenerState::Kind::starting:
        return tr("Starting\u2026");
    case ListenerState::Kind::failed:
        return tr("Network problem: ") + QString::fromStdString(listener_.error);
    case ListenerState::Kind::ready:
        break;
    }
    if (clients_.empty()) {
        return tr("Ready \u2014 waiting for a controller");
    }
    if (clients_.size() == 1) {
        return tr("1 controller connected");
    }
    return tr("%1 controllers connected").arg(static_cast<qlonglong>(clients_.size()));
}

QString HostModel::outputWarningFor() const {
    if (outputMode_ == OutputMode::keyboardMouse) {
        return isAccessibilityTrusted_
                   ? QString()
                   : tr("Allow input access so button presses reach your games.");
    }
    if (isGamepadEntitled_) {
        return optionalText(gamepadProblem_);
    }
    return gamepadDevice_ == GamepadDevice::hid
               ? tr("Virtual gamepads need access to /dev/uhid. Use Keyboard & Mouse.")
               : tr("Virtual gamepads need access to /dev/uinput. Use Keyboard & Mouse.");
}

void HostModel::refreshStatusText() {
    QString text = statusTextFor();
    if (text != statusText_) {
        statusText_ = std::move(text);
        Q_EMIT statusTextChanged();
    }
}

void HostModel::refreshOutputWarning() {
    QString text = outputWarningFor();
    if (text != outputWarning_) {
        outputWarning_ = std::move(text);
        Q_EMIT outputWarningChanged();
    }
}

// MARK: Settings

QString HostModel::outputModeName() const {
    return QString::fromLatin1(rawValue(outputMode_).data(),
                               static_cast<qsizetype>(rawValue(outputMode_).size()));
}

void HostModel::setOutputModeName(const QString& mode) {
    if (auto parsed = outputModeFromRaw(mode.toStdString())) {
        setOutputMode(*parsed);
    }
}

void HostModel::setOutputMode(OutputMode mode) {
    if (mode == outputMode_) {
        return;
    }
    outputMode_ = mode;
    settings_.setString(outputModeKey, rawValue(mode));
    Q_EMIT outputModeChanged();
    refreshOutputWarning();
    server_->setMode(mode);
}

QString HostModel::gamepadDeviceName() const {
    auto raw = rawValue(gamepadDevice_);
    return QString::fromLatin1(raw.data(), static_cast<qsizetype>(raw.size()));
}

void HostModel::setGamepadDeviceName(const QString& device) {
    if (auto parsed = gamepadDeviceFromRaw(device.toStdString())) {
        setGamepadDevice(*parsed);
    }
}

void HostModel::setGamepadDevice(GamepadDevice device) {
    if (device == gamepadDevice_) {
        return;
    }
    gamepadDevice_ = device;
    settings_.setString(gamepadDeviceKey, rawValue(device));
    Q_EMIT gamepadDeviceChanged();
    server_->setGamepadDevice(device);
    // Each kind needs its own device node.
    if (platform_.hasGamepadAccess) {
        setGamepadEntitled(platform_.hasGamepadAccess(device));
    }
    refreshOutputWarning();
}

void HostModel::setMapping(const KeyMapping& mapping) {
    if (mapping == mapping_) {
        return;
    }
    mapping_ = mapping;
    saveMapping();
    Q_EMIT mappingChanged();
    server_->setMapping(mapping_);
}

void HostModel::saveMapping() {
    const std::string json = encodeKeyMapping(mapping_);
    settings_.setData(keyMappingKey, std::vector<std::uint8_t>(json.begin(), json.end()));
}

void HostModel::setRumbleFromAudio(bool on) {
    if (on == rumbleFromAudio_) {
        return;
    }
    rumbleFromAudio_ = on;
    settings_.setBool(rumbleFromAudioKey, on);
    Q_EMIT rumbleFromAudioChanged();
    updateAudioRumble();
}

void HostModel::setWebPageEnabled(bool on) {
    if (on == webPageEnabled_) {
        return;
    }
    webPageEnabled_ = on;
    settings_.setBool(webPageOffKey, !on);
    server_->setWebPage(on);
    Q_EMIT webPageEnabledChanged();
}

void HostModel::setRumbleStrength(double strength) {
    if (!std::isfinite(strength)) {
        return;
    }
    const bool changed = strength != rumbleStrength_;
    rumbleStrength_ = strength;
    // Written and sent even when equal: the slider's last value always reaches both.
    settings_.setNumber(rumbleStrengthKey, strength);
    if (changed) {
        Q_EMIT rumbleStrengthChanged();
    }
    server_->setRumbleStrength(static_cast<float>(strength));
}

// MARK: Server requests

void HostModel::regeneratePIN() {
    server_->regeneratePIN();
}

void HostModel::forget(const QString& deviceId) {
    if (auto id = Uuid::parse(deviceId.toStdString())) {
        server_->forget(*id);
    }
}

void HostModel::testRumble() {
    server_->testRumble();
}

// MARK: Access

void HostModel::setAccessibilityTrusted(bool trusted) {
    if (trusted == isAccessibilityTrusted_) {
        return;
    }
    isAccessibilityTrusted_ = trusted;
    Q_EMIT isAccessibilityTrustedChanged();
    refreshOutputWarning();
}

void HostModel::setGamepadEntitled(bool entitled) {
    if (entitled == isGamepadEntitled_) {
        return;
    }
    isGamepadEntitled_ = entitled;
    // Gamepads refused for want of access are made now, without a trip through the modes.
    if (entitled && server_) {
        server_->retryGamepads();
    }
    Q_EMIT isGamepadEntitledChanged();
    refreshOutputWarning();
}

void HostModel::checkAccess() {
    if (platform_.hasInputAccess) {
        setAccessibilityTrusted(platform_.hasInputAccess());
    }
    if (platform_.hasGamepadAccess) {
        setGamepadEntitled(platform_.hasGamepadAccess(gamepadDevice_));
    }
}

void HostModel::requestAccessibility() {
    checkAccess();
    // The helper grants both accesses; either one missing is reason enough to run it.
    if ((isAccessibilityTrusted_ && isGamepadEntitled_) || accessRequestRunning_) {
        return;
    }
    std::weak_ptr<MainThreadHandoff> weakHandoff = handoff_;
    const bool started = platform_.startAccessRequest &&
                         platform_.startAccessRequest([weakHandoff, this](bool granted) {
                             if (auto handoff = weakHandoff.lock()) {
                                 handoff->post([this, granted] { accessRequestFinished(granted); });
                             }
                         });
    if (started) {
        accessRequestRunning_ = true;
    } else {
        openPrivacySettings(QStringLiteral("Privacy_Accessibility"));
    }
}

void HostModel::accessRequestFinished(bool granted) {
    accessRequestRunning_ = false;
    checkAccess();
    // After a granted request the device rule may take a moment to reach the device files;
    // the poll notices. Only a request that came to nothing sends the user to the help.
    if (!granted && !(isAccessibilityTrusted_ && isGamepadEntitled_)) {
        openPrivacySettings(QStringLiteral("Privacy_Accessibility"));
    }
}

void HostModel::openPrivacySettings(const QString& anchor) {
    if (anchor != QLatin1String("Privacy_Accessibility") &&
        anchor != QLatin1String("Privacy_ScreenCapture")) {
        return;
    }
    if (platform_.openSettings) {
        platform_.openSettings(anchor.toStdString());
    }
}

} // namespace jolto
