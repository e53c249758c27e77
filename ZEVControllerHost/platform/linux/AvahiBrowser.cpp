#include "platform/linux/AvahiBrowser.h"

#include <net/if.h>

#include <algorithm>

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>

#include "platform/linux/AvahiAdvertiser.h"

namespace jolto {

namespace {

struct Browse {
    AvahiSimplePoll* poll = nullptr;
    AvahiClient* client = nullptr;
    bool stopAtFirst = false;
    bool done = false;
    const std::function<void(const AvahiBrowser::Service&)>* onFound = nullptr;
    AvahiBrowser::Result result;
};

std::string problemText(int error) {
    if (error == AVAHI_ERR_NO_DAEMON || error == AVAHI_ERR_DISCONNECTED) {
        return AvahiAdvertiser::daemonMissing;
    }
    return std::string("Avahi: ") + avahi_strerror(error) + ".";
}

void resolved(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol,
              AvahiResolverEvent event, const char* name, const char*, const char*,
              const char* hostName, const AvahiAddress* address, std::uint16_t port,
              AvahiStringList*, AvahiLookupResultFlags, void* userdata) {
    auto* b = static_cast<Browse*>(userdata);
    if (event == AVAHI_RESOLVER_FOUND && address != nullptr) {
        char text[AVAHI_ADDRESS_STR_MAX] = {};
        avahi_address_snprint(text, sizeof text, address);
        AvahiBrowser::Service service{name, hostName ? hostName : "", text, port,
                                      address->proto == AVAHI_PROTO_INET6};
        // A link-local address means nothing without the interface it was seen on.
        if (service.ipv6 && address->data.ipv6.address[0] == 0xfe &&
            (address->data.ipv6.address[1] & 0xc0) == 0x80) {
            char ifname[IF_NAMESIZE] = {};
            if (if_indextoname(static_cast<unsigned>(interface), ifname) != nullptr) {
                service.address += "%" + std::string(ifname);
            }
        }
        auto& list = b->result.services;
        if (std::find(list.begin(), list.end(), service) == list.end()) {
            list.push_back(service);
            if (*b->onFound) {
                (*b->onFound)(service);
            }
            if (b->stopAtFirst) {
                b->done = true;
            }
        }
    }
    avahi_service_resolver_free(resolver);
}

void browsed(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
             AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
             AvahiLookupResultFlags, void* userdata) {
    auto* b = static_cast<Browse*>(userdata);
    if (event == AVAHI_BROWSER_NEW) {
        // Resolved in the family it was seen in, so that every address of a host shows up.
        avahi_service_resolver_new(b->client, interface, protocol, name, type, domain, protocol,
                                   AvahiLookupFlags(0), &resolved, b);
    } else if (event == AVAHI_BROWSER_FAILURE) {
        b->result.problem = problemText(avahi_client_errno(b->client));
        b->done = true;
    }
}

void clientState(AvahiClient* client, AvahiClientState state, void* userdata) {
    auto* b = static_cast<Browse*>(userdata);
    if (state == AVAHI_CLIENT_FAILURE) {
        b->result.problem = problemText(avahi_client_errno(client));
        b->done = true;
    }
}

} // namespace

AvahiBrowser::Result AvahiBrowser::browse(const std::string& type,
                                          std::chrono::milliseconds timeout, bool stopAtFirst,
                                          const std::function<void(const Service&)>& onFound) {
    Browse b;
    b.stopAtFirst = stopAtFirst;
    b.onFound = &onFound;
    b.poll = avahi_simple_poll_new();
    if (b.poll == nullptr) {
        b.result.problem = "Couldn't start browsing.";
        return b.result;
    }
    int error = 0;
    b.client = avahi_client_new(avahi_simple_poll_get(b.poll), AvahiClientFlags(0), &clientState,
                                &b, &error);
    if (b.client == nullptr) {
        b.result.problem = problemText(error);
        avahi_simple_poll_free(b.poll);
        return b.result;
    }
    AvahiServiceBrowser* browser =
        avahi_service_browser_new(b.client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.c_str(),
                                  nullptr, AvahiLookupFlags(0), &browsed, &b);
    if (browser == nullptr) {
        b.result.problem = problemText(avahi_client_errno(b.client));
        b.done = true;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!b.done) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        if (avahi_simple_poll_iterate(b.poll,
                                      static_cast<int>(std::min<long>(left.count(), 100))) != 0) {
            break;
        }
    }
    // Freeing the client frees the browser and any resolver still running.
    avahi_client_free(b.client);
    avahi_simple_poll_free(b.poll);
    return b.result;
}

} // namespace jolto
