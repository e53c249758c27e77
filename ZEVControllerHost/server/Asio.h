#pragma once

// Boost.Asio under the short name the code uses, so that Boost.Beast's HTTP and WebSocket
// streams run on the same io_context as everything else.
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

namespace asio = boost::asio;

namespace boost::asio {
// Completion handlers receive Boost's error code; standalone Asio named it here.
using error_code = boost::system::error_code;
} // namespace boost::asio
