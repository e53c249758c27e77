#include "platform/linux/WebSocketListener.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "protocol/Packet.h"
#include "server/WebPage.h"

namespace jolto {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

constexpr std::size_t headerLimit = 4096;

std::string_view view(beast::string_view text) {
    return {text.data(), text.size()};
}
constexpr std::chrono::milliseconds acceptRetryDelay{100};

// The server sees nothing of a connection that has not been welcomed except its hellos.
bool isHello(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 6 && bytes[0] == 'Z' && bytes[1] == 'E' && bytes[2] == 'V' &&
           bytes[3] == 'C' && bytes[5] == 1;
}

bool isAcceptedWelcome(std::span<const std::uint8_t> bytes) {
    auto packet = decode(bytes);
    auto welcome = packet ? packet->get<Packet::Welcome>() : nullptr;
    return welcome && welcome->status == WelcomeStatus::accepted;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// A host the page can be reached at without a name server: an address, localhost or a .local
// name. Refusing other names keeps a web site that rebinds its own name to this computer from
// counting as same-origin.
bool isLocalHost(std::string_view host) {
    if (host.starts_with('[')) {
        return host.find(']') != std::string_view::npos;
    }
    auto name = host.substr(0, host.find(':'));
    boost::system::error_code ec;
    asio::ip::make_address_v4(std::string(name), ec);
    if (!ec || equalsIgnoringCase(name, "localhost")) {
        return true;
    }
    return name.size() > 6 && equalsIgnoringCase(name.substr(name.size() - 6), ".local");
}

// Browsers always send an Origin with an upgrade; other clients (tools, tests) may not, and
// cannot be made to act for a web site.
bool originAllowed(std::string_view origin, std::string_view host) {
    if (origin.empty()) {
        return true;
    }
    return isLocalHost(host) && origin.starts_with("http://") &&
           equalsIgnoringCase(origin.substr(7), host);
}

} // namespace

struct Session;

struct WebSocketListener::Core : std::enable_shared_from_this<Core> {
    explicit Core(asio::io_context& c) : context(c), acceptor(c), retryTimer(c) {}

    asio::io_context& context;
    tcp::acceptor acceptor;
    asio::steady_timer retryTimer;
    std::uint16_t port = 0;
    std::uint64_t generation = 0;
    std::shared_ptr<const UdpListenerHandler> handler;
    ConnectionId nextId = 1;
    std::unordered_map<ConnectionId, std::shared_ptr<Session>> sessions;
    // Not welcomed yet, oldest first (ids grow).
    std::set<ConnectionId> pending;

    std::string start(UdpListenerHandler h);
    std::string open(const tcp& protocol);
    void stop();
    void accept(std::uint64_t round);
    void onAccept(std::uint64_t round, const asio::error_code& error, tcp::socket socket);
    void fail(const std::string& error);
    void deliver(Session& session, std::span<const std::uint8_t> bytes);
    void drop(ConnectionId id, bool report);
};

struct Session : std::enable_shared_from_this<Session> {
    Session(tcp::socket socket, std::weak_ptr<WebSocketListener::Core> core, ConnectionId id)
        : ws(std::move(socket)), core(std::move(core)), id(id) {}

    websocket::stream<beast::tcp_stream> ws;
    std::weak_ptr<WebSocketListener::Core> core;
    ConnectionId id;
    std::string remote;
    beast::flat_buffer buffer{headerLimit + largestDatagram};
    std::optional<http::request_parser<http::empty_body>> parser;
    std::deque<std::vector<std::uint8_t>> queue;
    bool upgraded = false;
    bool announced = false;
    bool welcomed = false;
    // Dropped by the listener or closed by the server: nothing more is read or reported.
    bool finished = false;
    bool writing = false;

    void readRequest();
    void onRequest(const asio::error_code& error);
    void respond(http::status status, const WebFile* file, bool keepAlive);
    void onAccepted(const asio::error_code& error);
    void readMessage();
    void onMessage(const asio::error_code& error);
    void send(std::span<const std::uint8_t> bytes);
    void writeNext();
    void closeGracefully();
    void hardClose();
    void lost();
};

void Session::readRequest() {
    parser.emplace();
    parser->header_limit(headerLimit);
    parser->body_limit(0);
    http::async_read(ws.next_layer(), buffer, *parser,
                     [self = shared_from_this()](const asio::error_code& error, std::size_t) {
                         self->onRequest(error);
                     });
}

void Session::onRequest(const asio::error_code& error) {
    if (finished) {
        return;
    }
    if (error) {
        lost();
        return;
    }
    auto& request = parser->get();
    if (websocket::is_upgrade(request)) {
        if (view(request.target()) != WebSocketListener::socketPath) {
            respond(http::status::not_found, nullptr, false);
            return;
        }
        if (!originAllowed(view(request[http::field::origin]), view(request[http::field::host]))) {
            respond(http::status::forbidden, nullptr, false);
            return;
        }
        ws.read_message_max(largestDatagram);
        ws.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
            response.set(http::field::server, "JOLTO Host");
        }));
        ws.async_accept(request, [self = shared_from_this()](const asio::error_code& e) {
            self->onAccepted(e);
        });
        return;
    }
    const WebFile* file =
        request.method() == http::verb::get ? findWebFile(view(request.target())) : nullptr;
    respond(file ? http::status::ok : http::status::not_found, file, request.keep_alive());
}

void Session::respond(http::status status, const WebFile* file, bool keepAlive) {
    static constexpr std::string_view notFound = "Not found\n";
    static constexpr std::string_view forbidden = "Forbidden\n";
    using Response = http::response<http::span_body<const char>>;
    auto response = std::make_shared<Response>();
    response->version(11);
    response->result(status);
    response->set(http::field::server, "JOLTO Host");
    response->set(http::field::cache_control, "no-cache");
    response->set("X-Content-Type-Options", "nosniff");
    response->set("Referrer-Policy", "no-referrer");
    std::string_view body = status == http::status::forbidden ? forbidden : notFound;
    if (file) {
        body = file->body;
        response->set(http::field::content_type,
                      beast::string_view(file->contentType.data(), file->contentType.size()));
        response->set("Content-Security-Policy",
                      "default-src 'self'; connect-src 'self'; img-src 'self' data:; "
                      "frame-ancestors 'none'");
    } else {
        response->set(http::field::content_type, "text/plain; charset=utf-8");
    }
    response->body() = http::span_body<const char>::value_type(body.data(), body.size());
    response->keep_alive(keepAlive);
    response->prepare_payload();
    http::async_write(
        ws.next_layer(), *response,
        [self = shared_from_this(), response](const asio::error_code& error, std::size_t) {
            if (self->finished) {
                return;
            }
            if (error || !response->keep_alive()) {
                self->lost();
                return;
            }
            // Further requests on the same connection share its deadline.
            self->readRequest();
        });
}

void Session::onAccepted(const asio::error_code& error) {
    if (finished) {
        return;
    }
    if (error) {
        lost();
        return;
    }
    upgraded = true;
    beast::get_lowest_layer(ws).expires_never();
    websocket::stream_base::timeout timeout;
    timeout.handshake_timeout = WebSocketListener::handshakeDeadline;
    timeout.idle_timeout = WebSocketListener::idleTimeout;
    timeout.keep_alive_pings = true;
    ws.set_option(timeout);
    ws.binary(true);
    readMessage();
}

void Session::readMessage() {
    buffer.consume(buffer.size());
    ws.async_read(buffer, [self = shared_from_this()](const asio::error_code& error, std::size_t) {
        self->onMessage(error);
    });
}

void Session::onMessage(const asio::error_code& error) {
    if (finished) {
        return;
    }
    if (error) {
        // Too long a message ends here as well: Beast fails the read and closes.
        lost();
        return;
    }
    if (ws.got_binary()) {
        auto data = buffer.cdata();
        auto core = this->core.lock();
        if (!core) {
            return;
        }
        // Keeps this session alive while the server's callback may close it.
        auto self = shared_from_this();
        core->deliver(*this, std::span(static_cast<const std::uint8_t*>(data.data()), data.size()));
        if (finished) {
            return;
        }
    }
    readMessage();
}

void Session::send(std::span<const std::uint8_t> bytes) {
    if (!upgraded || finished || queue.size() >= WebSocketListener::maxQueuedMessages) {
        return;
    }
    queue.emplace_back(bytes.begin(), bytes.end());
    if (!writing) {
        writeNext();
    }
}

void Session::writeNext() {
    writing = true;
    ws.async_write(asio::buffer(queue.front()),
                   [self = shared_from_this()](const asio::error_code& error, std::size_t) {
                       self->writing = false;
                       if (error) {
                           self->queue.clear();
                           if (!self->finished) {
                               self->lost();
                           } else {
                               self->hardClose();
                           }
                           return;
                       }
                       self->queue.pop_front();
                       if (!self->queue.empty()) {
                           self->writeNext();
                       } else if (self->finished) {
                           self->closeGracefully();
                       }
                   });
}

void Session::closeGracefully() {
    // The websocket's handshake timeout bounds the closing handshake.
    ws.async_close(websocket::close_code::normal,
                   [self = shared_from_this()](const asio::error_code&) { self->hardClose(); });
}

void Session::hardClose() {
    asio::error_code ignored;
    auto& socket = beast::get_lowest_layer(ws).socket();
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

void Session::lost() {
    if (auto c = core.lock()) {
        c->drop(id, true);
    } else {
        finished = true;
        hardClose();
    }
}

std::string WebSocketListener::Core::open(const tcp& protocol) {
    asio::error_code ec;
    acceptor.open(protocol, ec);
    if (ec) {
        return ec.message();
    }
    if (protocol == tcp::v6()) {
        acceptor.set_option(asio::ip::v6_only(false), ec);
        if (ec) {
            return ec.message();
        }
    }
    acceptor.bind(tcp::endpoint(protocol, 0), ec);
    if (!ec) {
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        return ec.message();
    }
    port = acceptor.local_endpoint(ec).port();
    return {};
}

std::string WebSocketListener::Core::start(UdpListenerHandler h) {
    if (acceptor.is_open()) {
        return "The page is already served.";
    }
    ++generation;
    std::string error = open(tcp::v6());
    if (!error.empty()) {
        asio::error_code ignored;
        acceptor.close(ignored);
        error = open(tcp::v4());
    }
    if (!error.empty()) {
        asio::error_code ignored;
        acceptor.close(ignored);
        port = 0;
        return "Couldn't open the TCP socket: " + error;
    }
    handler = std::make_shared<const UdpListenerHandler>(std::move(h));
    const auto round = generation;
    asio::post(context, [self = shared_from_this(), round] {
        if (round == self->generation && self->handler->ready) {
            self->handler->ready(self->port);
        }
    });
    accept(round);
    return {};
}

void WebSocketListener::Core::accept(std::uint64_t round) {
    acceptor.async_accept(
        [self = shared_from_this(), round](const asio::error_code& error, tcp::socket socket) {
            self->onAccept(round, error, std::move(socket));
        });
}

void WebSocketListener::Core::onAccept(std::uint64_t round, const asio::error_code& error,
                                       tcp::socket socket) {
    if (round != generation) {
        return;
    }
    if (error) {
        if (error == asio::error::operation_aborted) {
            return;
        }
        if (error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
            error == asio::error::no_memory || error == asio::error::connection_aborted ||
            error.value() == ENFILE) {
            // Out of descriptors or memory for a moment: accepting again at once would spin.
            retryTimer.expires_after(acceptRetryDelay);
            retryTimer.async_wait([self = shared_from_this(), round](const asio::error_code& e) {
                if (!e && round == self->generation) {
                    self->accept(round);
                }
            });
            return;
        }
        fail(error.message());
        return;
    }
    asio::error_code ec;
    socket.set_option(tcp::no_delay(true), ec);
    std::string remote;
    if (auto endpoint = socket.remote_endpoint(ec); !ec) {
        auto address = endpoint.address();
        if (address.is_v6() && address.to_v6().is_v4_mapped()) {
            address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
        }
        remote = (address.is_v6() ? "[" + address.to_string() + "]" : address.to_string()) + ":" +
                 std::to_string(endpoint.port()) + " (web)";
    }
    if (pending.size() >= WebSocketListener::maxPending) {
        drop(*pending.begin(), true);
    }
    const ConnectionId id = nextId++;
    auto session = std::make_shared<Session>(std::move(socket), weak_from_this(), id);
    session->remote = std::move(remote);
    sessions.emplace(id, session);
    pending.insert(id);
    beast::get_lowest_layer(session->ws).expires_after(WebSocketListener::handshakeDeadline);
    session->readRequest();
    accept(round);
}

void WebSocketListener::Core::fail(const std::string& error) {
    auto h = handler;
    stop();
    if (h && h->failed) {
        h->failed(error);
    }
}

void WebSocketListener::Core::stop() {
    ++generation;
    asio::error_code ignored;
    acceptor.close(ignored);
    retryTimer.cancel();
    port = 0;
    for (auto& [id, session] : sessions) {
        session->finished = true;
        session->hardClose();
    }
    sessions.clear();
    pending.clear();
    handler.reset();
}

void WebSocketListener::Core::deliver(Session& session, std::span<const std::uint8_t> bytes) {
    if (!session.welcomed && !isHello(bytes)) {
        return;
    }
    const auto h = handler;
    if (!h) {
        return;
    }
    if (!session.announced) {
        session.announced = true;
        if (h->newConnection) {
            h->newConnection(session.id);
        }
        if (session.finished) {
            return;
        }
    }
    if (h->datagram) {
        h->datagram(session.id, bytes, std::chrono::steady_clock::now());
    }
}

void WebSocketListener::Core::drop(ConnectionId id, bool report) {
    auto found = sessions.find(id);
    if (found == sessions.end()) {
        return;
    }
    auto session = found->second;
    sessions.erase(found);
    pending.erase(id);
    session->finished = true;
    session->hardClose();
    if (report && session->announced) {
        if (auto h = handler; h && h->closed) {
            h->closed(id);
        }
    }
}

WebSocketListener::WebSocketListener(asio::io_context& context)
    : core_(std::make_shared<Core>(context)) {}

WebSocketListener::~WebSocketListener() {
    cancel();
}

std::string WebSocketListener::start(UdpListenerHandler handler) {
    return core_->start(std::move(handler));
}

void WebSocketListener::cancel() {
    core_->stop();
}

void WebSocketListener::send(ConnectionId connection, std::span<const std::uint8_t> datagram) {
    auto found = core_->sessions.find(connection);
    if (found == core_->sessions.end()) {
        return;
    }
    auto& session = *found->second;
    if (!session.welcomed && isAcceptedWelcome(datagram)) {
        session.welcomed = true;
        core_->pending.erase(connection);
    }
    session.send(datagram);
}

void WebSocketListener::close(ConnectionId connection) {
    auto found = core_->sessions.find(connection);
    if (found == core_->sessions.end()) {
        return;
    }
    auto session = found->second;
    core_->sessions.erase(found);
    core_->pending.erase(connection);
    session->finished = true;
    if (!session->upgraded) {
        session->hardClose();
    } else if (!session->writing) {
        // What was queued (a goodbye) leaves first; the close follows it.
        session->closeGracefully();
    }
}

std::string WebSocketListener::describe(ConnectionId connection) const {
    auto found = core_->sessions.find(connection);
    if (found == core_->sessions.end()) {
        return "connection " + std::to_string(connection);
    }
    return found->second->remote;
}

std::uint16_t WebSocketListener::port() const {
    return core_->acceptor.is_open() ? core_->port : 0;
}

std::size_t WebSocketListener::connectionCount() const {
    return core_->sessions.size();
}

std::size_t WebSocketListener::pendingCount() const {
    return core_->pending.size();
}

} // namespace jolto
