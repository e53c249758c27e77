#include "store/TrustStore.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include <nlohmann/json.hpp>

#include "platform/Log.h"

namespace jolto {

namespace {

using Json = nlohmann::json;

// 2001-01-01 00:00:00 UTC in Unix time.
constexpr double referenceDateUnixSeconds = 978307200.0;

const Logger& trustLog() {
    static const Logger logger("Trust");
    return logger;
}

// The error text says which element and key broke, so the log line is enough to repair a file.
std::optional<std::string> field(const Json& object, const char* key, std::size_t index,
                                 Json::value_t wanted, const char* wantedName, const Json*& out) {
    auto it = object.find(key);
    if (it == object.end()) {
        return "element " + std::to_string(index) + " has no \"" + key + "\"";
    }
    bool matches = wanted == Json::value_t::number_float ? it->is_number() : it->type() == wanted;
    if (!matches) {
        return "\"" + std::string(key) + "\" of element " + std::to_string(index) + " is " +
               it->type_name() + ", not " + wantedName;
    }
    out = &*it;
    return std::nullopt;
}

std::optional<std::string> uuidField(const Json& object, const char* key, std::size_t index,
                                     Uuid& out) {
    const Json* value = nullptr;
    if (auto error = field(object, key, index, Json::value_t::string, "a string", value)) {
        return error;
    }
    auto parsed = Uuid::parse(value->get_ref<const std::string&>());
    if (!parsed) {
        return "\"" + std::string(key) + "\" of element " + std::to_string(index) +
               " is not a UUID";
    }
    out = *parsed;
    return std::nullopt;
}

} // namespace

double TrustStore::systemNow() {
    auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(sinceEpoch).count() - referenceDateUnixSeconds;
}

TrustStore::Decoded TrustStore::decode(std::string_view bytes) {
    Decoded result;
    try {
        Json root = Json::parse(bytes, nullptr, false);
        if (root.is_discarded()) {
            result.error = "the data is not valid JSON";
            return result;
        }
        if (!root.is_array()) {
            result.error = std::string("expected an array, found ") + root.type_name();
            return result;
        }
        result.devices.reserve(root.size());
        for (std::size_t i = 0; i < root.size(); ++i) {
            const Json& element = root[i];
            if (!element.is_object()) {
                result.error = "element " + std::to_string(i) + " is " + element.type_name() +
                               ", not an object";
                return result;
            }
            TrustedDevice device;
            const Json* name = nullptr;
            const Json* lastSeen = nullptr;
            if (auto error = uuidField(element, "id", i, device.id)) {
                result.error = error;
            } else if ((error =
                            field(element, "name", i, Json::value_t::string, "a string", name))) {
                result.error = error;
            } else if ((error = uuidField(element, "secret", i, device.secret))) {
                result.error = error;
            } else if ((error = field(element, "lastSeen", i, Json::value_t::number_float,
                                      "a number", lastSeen))) {
                result.error = error;
            }
            if (result.error) {
                result.devices.clear();
                return result;
            }
            device.name = name->get<std::string>();
            device.lastSeen = lastSeen->get<double>();
            result.devices.push_back(std::move(device));
        }
    } catch (const std::exception& e) {
        result.devices.clear();
        result.error = e.what();
    }
    return result;
}

std::optional<std::string> TrustStore::encode(const std::vector<TrustedDevice>& devices) {
    Json list = Json::array();
    for (const auto& device : devices) {
        // JSON has no spelling for these; writing null would make the whole list unreadable.
        if (!std::isfinite(device.lastSeen)) {
            return std::nullopt;
        }
        list.push_back({{"id", device.id.string()},
                        {"name", device.name},
                        {"secret", device.secret.string()},
                        {"lastSeen", device.lastSeen}});
    }
    // A name that is not UTF-8 is written with U+FFFD rather than losing every device.
    return list.dump(-1, ' ', false, Json::error_handler_t::replace);
}

TrustStore TrustStore::load(SettingsStore& settings, WallClock now) {
    TrustStore store(settings, std::move(now));
    auto bytes = settings.data(settingsKey);
    if (!bytes) {
        return store;
    }
    auto decoded =
        decode(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    if (decoded.error) {
        trustLog().error("Couldn't read trusted devices: " + *decoded.error);
        return store;
    }
    for (auto& device : decoded.devices) {
        store.devices_.insert_or_assign(device.id, std::move(device));
    }
    return store;
}

void TrustStore::save() const {
    std::vector<TrustedDevice> list;
    list.reserve(devices_.size());
    for (const auto& [id, device] : devices_) {
        list.push_back(device);
    }
    auto text = encode(list);
    if (!text) {
        trustLog().error("Couldn't save trusted devices: a time is not a finite number");
        return;
    }
    settings_->setData(settingsKey, std::vector<std::uint8_t>(text->begin(), text->end()));
}

bool TrustStore::isTrusted(const Uuid& id, const Uuid& secret) const {
    auto it = devices_.find(id);
    return it != devices_.end() && it->second.secret == secret;
}

void TrustStore::touch(const Uuid& id, const std::string& name) {
    auto it = devices_.find(id);
    if (it == devices_.end()) {
        return;
    }
    it->second.name = name;
    it->second.lastSeen = now_();
    save();
}

void TrustStore::add(const Uuid& id, const std::string& name, const Uuid& secret) {
    devices_.insert_or_assign(id, TrustedDevice{id, name, secret, now_()});
    save();
}

void TrustStore::forget(const Uuid& id) {
    devices_.erase(id);
    save();
}

std::vector<TrustedDevice> TrustStore::sortedDevices() const {
    std::vector<TrustedDevice> list;
    list.reserve(devices_.size());
    for (const auto& [id, device] : devices_) {
        list.push_back(device);
    }
    std::stable_sort(list.begin(), list.end(), [](const TrustedDevice& a, const TrustedDevice& b) {
        return a.lastSeen > b.lastSeen;
    });
    return list;
}

} // namespace jolto
