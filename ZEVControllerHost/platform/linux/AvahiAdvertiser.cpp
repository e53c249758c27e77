#include "platform/linux/AvahiAdvertiser.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include "platform/Log.h"

namespace jolto {

namespace {

const Logger& logger() {
    static const Logger instance("Advertiser");
    return instance;
}

std::string reasonFor(int avahiError) {
    switch (avahiError) {
    case AVAHI_ERR_NO_DAEMON:
    case AVAHI_ERR_DISCONNECTED:
        return AvahiAdvertiser::daemonMissing;
    case AVAHI_ERR_ACCESS_DENIED:
    case AVAHI_ERR_NOT_PERMITTED:
        return "The Avahi daemon refused to publish the service.";
    default:
        return std::string("Avahi: ") + avahi_strerror(avahiError) + ".";
    }
}

} // namespace

std::string AvahiAdvertiser::serviceName(const std::string& name) {
    if (name.empty()) {
        return "Linux";
    }
    constexpr std::size_t limit = 63;
    if (name.size() <= limit) {
        return name;
    }
    std::size_t end = limit;
    // Back up over continuation bytes so that no character is split.
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) {
        --end;
    }
    return name.substr(0, end);
}

struct AvahiAdvertiser::Impl {
    struct Wanted {
        bool active = false;
        std::string name;
        std::string type;
        std::uint16_t port = 0;
        ProblemCallback onProblem;
    };

    // Shared with callers; everything below it belongs to the poll thread.
    std::mutex mutex;
    Wanted wanted;

    AvahiThreadedPoll* poll = nullptr;
    int wakeFd = -1;
    AvahiWatch* wakeWatch = nullptr;
    AvahiTimeout* retryTimer = nullptr;

    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    Wanted current;
    std::string requestedName;
    std::string effectiveName;
    bool committed = false;
    std::string publishedType;
    std::uint16_t publishedPort = 0;
    bool reconnect = false;
    // What the callback heard last; empty until it heard anything.
    std::optional<std::optional<std::string>> reported;

    explicit Impl(std::chrono::milliseconds retry);
    std::chrono::milliseconds retryInterval;
    ~Impl();

    void wake();
    void onWake();
    void onRetry();
    void apply();
    void connect();
    void publishService();
    void armRetry(std::chrono::milliseconds delay);
    void report(std::optional<std::string> problem);

    static void clientCallback(AvahiClient* c, AvahiClientState state, void* self);
    static void groupCallback(AvahiEntryGroup* g, AvahiEntryGroupState state, void* self);
};

AvahiAdvertiser::Impl::Impl(std::chrono::milliseconds retry) : retryInterval(retry) {
    poll = avahi_threaded_poll_new();
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (poll == nullptr || wakeFd < 0) {
        logger().error("Couldn't set up the DNS-SD advertiser");
        return;
    }
    const AvahiPoll* api = avahi_threaded_poll_get(poll);
    wakeWatch = api->watch_new(
        api, wakeFd, AVAHI_WATCH_IN,
        [](AvahiWatch*, int, AvahiWatchEvent, void* self) { static_cast<Impl*>(self)->onWake(); },
        this);
    retryTimer = api->timeout_new(
        api, nullptr, [](AvahiTimeout*, void* self) { static_cast<Impl*>(self)->onRetry(); }, this);
    if (avahi_threaded_poll_start(poll) < 0) {
        logger().error("Couldn't start the DNS-SD advertiser's thread");
        avahi_threaded_poll_free(poll);
        poll = nullptr;
    }
}

AvahiAdvertiser::Impl::~Impl() {
    if (poll != nullptr) {
        avahi_threaded_poll_stop(poll);
        // Freeing the client withdraws the records while the daemon still listens.
        if (client != nullptr) {
            avahi_client_free(client);
        }
        avahi_threaded_poll_free(poll);
    }
    if (wakeFd >= 0) {
        ::close(wakeFd);
    }
}

void AvahiAdvertiser::Impl::wake() {
    if (wakeFd < 0) {
        return;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd, &one, sizeof one);
}

void AvahiAdvertiser::Impl::onWake() {
    std::uint64_t count;
    [[maybe_unused]] auto n = ::read(wakeFd, &count, sizeof count);
    Wanted next;
    {
        std::lock_guard lock(mutex);
        next = wanted;
    }
    const bool changed = next.active != current.active || next.name != current.name ||
                         next.type != current.type || next.port != current.port;
    current = std::move(next);
    if (changed) {
        // Whoever asked anew hears how this request fares, even when it is the same as before.
        reported.reset();
    }
    apply();
}

void AvahiAdvertiser::Impl::onRetry() {
    if (reconnect) {
        reconnect = false;
        if (client != nullptr) {
            avahi_client_free(client);
            client = nullptr;
            group = nullptr;
            committed = false;
        }
    }
    apply();
}

void AvahiAdvertiser::Impl::armRetry(std::chrono::milliseconds delay) {
    timeval when;
    avahi_elapse_time(&when, static_cast<unsigned>(delay.count()), 0);
    avahi_threaded_poll_get(poll)->timeout_update(retryTimer, &when);
}

void AvahiAdvertiser::Impl::apply() {
    if (!current.active) {
        if (group != nullptr) {
            avahi_entry_group_reset(group);
        }
        committed = false;
        return;
    }
    if (client == nullptr) {
        connect();
        return;
    }
    switch (avahi_client_get_state(client)) {
    case AVAHI_CLIENT_S_RUNNING:
        publishService();
        break;
    case AVAHI_CLIENT_CONNECTING:
        report(daemonMissing);
        break;
    default:
        // The client callback publishes once the daemon is up again.
        break;
    }
}

void AvahiAdvertiser::Impl::connect() {
    int error = 0;
    // NO_FAIL keeps the client waiting for a daemon that is not running yet; without a system
    // bus at all the client cannot even be made, and the retry timer tries again.
    AvahiClient* made = avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL,
                                         &Impl::clientCallback, this, &error);
    if (made == nullptr) {
        report(reasonFor(error));
        armRetry(retryInterval);
        return;
    }
    client = made;
    if (avahi_client_get_state(client) == AVAHI_CLIENT_S_RUNNING) {
        publishService();
    }
}

void AvahiAdvertiser::Impl::publishService() {
    const std::string name = serviceName(current.name);
    if (name != requestedName) {
        requestedName = name;
        effectiveName = name;
    } else if (committed && current.type == publishedType && current.port == publishedPort) {
        return;
    }
    if (group == nullptr) {
        group = avahi_entry_group_new(client, &Impl::groupCallback, this);
        if (group == nullptr) {
            report(reasonFor(avahi_client_errno(client)));
            armRetry(retryInterval);
            return;
        }
    }
    avahi_entry_group_reset(group);
    committed = false;
    int result = AVAHI_OK;
    for (int attempt = 0; attempt < 16; ++attempt) {
        result = avahi_entry_group_add_service_strlst(
            group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), effectiveName.c_str(),
            current.type.c_str(), nullptr, nullptr, current.port, nullptr);
        if (result != AVAHI_ERR_COLLISION) {
            break;
        }
        char* alternative = avahi_alternative_service_name(effectiveName.c_str());
        effectiveName = alternative;
        avahi_free(alternative);
    }
    if (result >= 0) {
        result = avahi_entry_group_commit(group);
    }
    if (result < 0) {
        report("Couldn't publish the service: " + std::string(avahi_strerror(result)) + ".");
        armRetry(retryInterval);
        return;
    }
    committed = true;
    publishedType = current.type;
    publishedPort = current.port;
}

void AvahiAdvertiser::Impl::report(std::optional<std::string> problem) {
    if (reported && *reported == problem) {
        return;
    }
    reported = problem;
    if (problem) {
        logger().error("Not visible on the network: " + *problem);
    } else {
        logger().info("Advertising \"" + effectiveName + "\" (" + current.type + ") on port " +
                      std::to_string(current.port));
    }
    if (current.onProblem) {
        current.onProblem(problem);
    }
}

void AvahiAdvertiser::Impl::clientCallback(AvahiClient* c, AvahiClientState state, void* self) {
    auto* impl = static_cast<Impl*>(self);
    // The first call comes from inside avahi_client_new, before `client` is set.
    impl->client = c;
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        if (impl->current.active) {
            impl->publishService();
        }
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The daemon is (re)registering this computer's host name; the records follow once it
        // runs again.
        if (impl->group != nullptr) {
            avahi_entry_group_reset(impl->group);
        }
        impl->committed = false;
        break;
    case AVAHI_CLIENT_CONNECTING:
        if (impl->current.active) {
            impl->report(daemonMissing);
        }
        break;
    case AVAHI_CLIENT_FAILURE: {
        const int error = avahi_client_errno(c);
        if (impl->current.active) {
            impl->report(reasonFor(error));
        }
        // Freed from the timer, not from inside the library's own dispatch.
        impl->reconnect = true;
        impl->armRetry(error == AVAHI_ERR_DISCONNECTED ? std::chrono::milliseconds(0)
                                                       : impl->retryInterval);
        break;
    }
    }
}

void AvahiAdvertiser::Impl::groupCallback(AvahiEntryGroup* g, AvahiEntryGroupState state,
                                          void* self) {
    auto* impl = static_cast<Impl*>(self);
    impl->group = g;
    switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        impl->report(std::nullopt);
        break;
    case AVAHI_ENTRY_GROUP_COLLISION: {
        char* alternative = avahi_alternative_service_name(impl->effectiveName.c_str());
        logger().info("Service name \"" + impl->effectiveName + "\" is taken; using \"" +
                      alternative + "\"");
        impl->effectiveName = alternative;
        avahi_free(alternative);
        impl->committed = false;
        impl->publishService();
        break;
    }
    case AVAHI_ENTRY_GROUP_FAILURE:
        impl->report("Couldn't publish the service: " +
                     std::string(avahi_strerror(avahi_client_errno(impl->client))) + ".");
        impl->committed = false;
        impl->armRetry(impl->retryInterval);
        break;
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
    case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
}

AvahiAdvertiser::AvahiAdvertiser(std::chrono::milliseconds retryInterval)
    : impl_(std::make_unique<Impl>(retryInterval)) {}

AvahiAdvertiser::~AvahiAdvertiser() = default;

void AvahiAdvertiser::publish(const std::string& name, const std::string& type, std::uint16_t port,
                              ProblemCallback onProblem) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->wanted = {true, name, type, port, std::move(onProblem)};
    }
    impl_->wake();
}

void AvahiAdvertiser::withdraw() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->wanted.active = false;
    }
    impl_->wake();
}

} // namespace jolto
