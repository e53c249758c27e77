#include "platform/linux/PageAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace jolto {

std::string pageAddress(std::uint16_t port) {
    std::string v4;
    std::string v6;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
        for (auto* entry = list; entry != nullptr; entry = entry->ifa_next) {
            if (entry->ifa_addr == nullptr || (entry->ifa_flags & IFF_UP) == 0 ||
                (entry->ifa_flags & IFF_LOOPBACK) != 0) {
                continue;
            }
            char text[INET6_ADDRSTRLEN] = {};
            if (entry->ifa_addr->sa_family == AF_INET && v4.empty()) {
                auto* a = reinterpret_cast<sockaddr_in*>(entry->ifa_addr);
                inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
                v4 = text;
            } else if (entry->ifa_addr->sa_family == AF_INET6 && v6.empty()) {
                auto* a = reinterpret_cast<sockaddr_in6*>(entry->ifa_addr);
                // A link-local address needs a zone that a browser's address bar won't take.
                if (!IN6_IS_ADDR_LINKLOCAL(&a->sin6_addr)) {
                    inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
                    v6 = "[" + std::string(text) + "]";
                }
            }
        }
        ::freeifaddrs(list);
    }
    std::string host = !v4.empty() ? v4 : !v6.empty() ? v6 : "127.0.0.1";
    return "http://" + host + ":" + std::to_string(port) + "/";
}

} // namespace jolto
