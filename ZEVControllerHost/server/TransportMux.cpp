#include "server/TransportMux.h"

namespace jolto {

TransportMux::TransportMux(std::vector<UdpListener*> transports) {
    for (auto* listener : transports) {
        slots_.push_back(Slot{listener, true, false, {}});
    }
}

TransportMux::~TransportMux() {
    cancel();
}

UdpListenerHandler TransportMux::handlerFor(std::size_t transport) {
    // The transports are cancelled before the mux goes, so `this` outlives their callbacks. Each
    // callback holds the server's handler while it runs: the server may cancel from inside.
    UdpListenerHandler h;
    if (transport == 0) {
        h.ready = [this](std::uint16_t port) {
            slots_[0].running = true;
            auto server = server_;
            if (server && server->ready) {
                server->ready(port);
            }
        };
        h.waiting = [this](const std::string& error) {
            auto server = server_;
            if (server && server->waiting) {
                server->waiting(error);
            }
        };
        h.failed = [this](const std::string& error) {
            // The primary keeps its connections for the next start, as the server expects.
            slots_[0].running = false;
            auto server = server_;
            if (server && server->failed) {
                server->failed(error);
            }
        };
    } else {
        h.ready = [this, transport](std::uint16_t port) {
            report(transport, ListenerState::ready(port));
        };
        h.waiting = [this, transport](const std::string& error) {
            report(transport, ListenerState::failed(error));
        };
        h.failed = [this, transport](const std::string& error) {
            stopTransport(transport, true);
            report(transport, ListenerState::failed(error));
        };
    }
    h.newConnection = [this, transport](ConnectionId inner) {
        auto outer = nextId_++;
        slots_[transport].outerOf[inner] = outer;
        routes_[outer] = Route{transport, inner};
        if (auto server = server_; server && server->newConnection) {
            server->newConnection(outer);
        }
    };
    h.datagram = [this, transport](ConnectionId inner, std::span<const std::uint8_t> bytes,
                                   Instant at) {
        auto& outerOf = slots_[transport].outerOf;
        if (auto found = outerOf.find(inner); found != outerOf.end()) {
            if (auto server = server_; server && server->datagram) {
                server->datagram(found->second, bytes, at);
            }
        }
    };
    h.closed = [this, transport](ConnectionId inner) {
        auto& outerOf = slots_[transport].outerOf;
        auto found = outerOf.find(inner);
        if (found == outerOf.end()) {
            return;
        }
        auto outer = found->second;
        outerOf.erase(found);
        routes_.erase(outer);
        if (auto server = server_; server && server->closed) {
            server->closed(outer);
        }
    };
    return h;
}

std::string TransportMux::start(UdpListenerHandler handler) {
    server_ = std::make_shared<UdpListenerHandler>(std::move(handler));
    auto error = slots_[0].listener->start(handlerFor(0));
    if (!error.empty()) {
        return error;
    }
    for (std::size_t i = 1; i < slots_.size(); ++i) {
        if (slots_[i].enabled && !slots_[i].running) {
            startSecondary(i);
        }
    }
    return {};
}

void TransportMux::startSecondary(std::size_t transport) {
    if (!server_) {
        return;
    }
    report(transport, ListenerState::starting());
    auto error = slots_[transport].listener->start(handlerFor(transport));
    if (!error.empty()) {
        report(transport, ListenerState::failed(error));
        return;
    }
    slots_[transport].running = true;
}

void TransportMux::stopTransport(std::size_t transport, bool reportClosed) {
    auto& slot = slots_[transport];
    slot.listener->cancel();
    slot.running = false;
    auto closing = std::move(slot.outerOf);
    slot.outerOf.clear();
    for (auto& [inner, outer] : closing) {
        routes_.erase(outer);
    }
    if (reportClosed && server_ && server_->closed) {
        // A copy: the server's callback may close more connections of other transports.
        auto server = server_;
        for (auto& [inner, outer] : closing) {
            server->closed(outer);
        }
    }
}

void TransportMux::setEnabled(std::size_t transport, bool enabled) {
    auto& slot = slots_.at(transport);
    if (transport == 0 || slot.enabled == enabled) {
        return;
    }
    slot.enabled = enabled;
    if (enabled) {
        startSecondary(transport);
    } else {
        stopTransport(transport, true);
        report(transport, ListenerState::failed({}));
    }
}

void TransportMux::cancel() {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        stopTransport(i, false);
    }
    routes_.clear();
    server_.reset();
}

void TransportMux::send(ConnectionId connection, std::span<const std::uint8_t> datagram) {
    if (auto found = routes_.find(connection); found != routes_.end()) {
        slots_[found->second.transport].listener->send(found->second.inner, datagram);
    }
}

void TransportMux::close(ConnectionId connection) {
    auto found = routes_.find(connection);
    if (found == routes_.end()) {
        return;
    }
    auto route = found->second;
    routes_.erase(found);
    slots_[route.transport].outerOf.erase(route.inner);
    slots_[route.transport].listener->close(route.inner);
}

std::string TransportMux::describe(ConnectionId connection) const {
    if (auto found = routes_.find(connection); found != routes_.end()) {
        return slots_[found->second.transport].listener->describe(found->second.inner);
    }
    return "connection " + std::to_string(connection);
}

std::size_t TransportMux::connectionCount(std::size_t transport) const {
    return slots_.at(transport).outerOf.size();
}

void TransportMux::report(std::size_t transport, const ListenerState& state) {
    if (stateChanged_) {
        stateChanged_(transport, state);
    }
}

} // namespace jolto
