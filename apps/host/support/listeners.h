#pragma once

#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

namespace kavren::host {

// The sockets a server listens on, for "HOST:PORT" as listen_address() gives it: an IPv4
// address, an IPv6 one in brackets (`[::]` takes IPv4 too), or a name, looked up here, listened
// on at every address it has. With port 0 the first gets a free port and the others the same.
// The acceptors' completions run on `ex`. Throws std::runtime_error with the reason ("port in
// use", a name not found).
std::vector<boost::asio::ip::tcp::acceptor> open_listeners(const boost::asio::any_io_executor& ex,
                                                           const std::string& listen);

}  // namespace kavren::host
