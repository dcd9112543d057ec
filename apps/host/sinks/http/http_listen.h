#pragma once

#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

namespace kavren::host {

// The sockets the server listens on, for "HOST:PORT" as http_listen_address() gives it: an IPv4
// address, an IPv6 one in brackets (`[::]` takes IPv4 too), or a name, looked up here, listened
// on at every address it has. With port 0 the first gets a free port and the others the same.
// Throws std::runtime_error naming the address and the reason.
std::vector<boost::asio::ip::tcp::acceptor> open_listeners(const boost::asio::any_io_executor& ex,
                                                           const std::string& listen);

}  // namespace kavren::host
