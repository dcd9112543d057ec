#pragma once

// The host's event loop: Boost.Asio with C++20 coroutines. Every wait of a link, a poller or a
// timer is a co_await on the link's strand; an error is a value (the error code), never thrown.
#include <utility>  // Asio's awaitable.hpp uses std::exchange without including it

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace kavren::host {

namespace asio = boost::asio;

// A completion token for co_await that puts the error into `ec` instead of throwing it.
inline auto into(boost::system::error_code& ec) {
    return asio::redirect_error(asio::use_awaitable, ec);
}

}  // namespace kavren::host
