#include "apps/host/support/listeners.h"

#include <algorithm>
#include <stdexcept>

#include <boost/asio/ip/v6_only.hpp>
#include <boost/system/system_error.hpp>

namespace kavren::host {

namespace {

namespace ip = boost::asio::ip;
using ip::tcp;

// The addresses a host part names: an IP literal as it is, a name as the resolver finds it.
std::vector<ip::address> addresses_of(const boost::asio::any_io_executor& ex,
                                      const std::string& host) {
    boost::system::error_code ec;
    const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    const ip::address literal =
        ip::make_address(bracketed ? host.substr(1, host.size() - 2) : host, ec);
    if (!ec) return {literal};
    tcp::resolver resolver(ex);
    const auto found = resolver.resolve(host, "0", tcp::resolver::passive, ec);
    if (ec) throw std::runtime_error(host + " is not found: " + ec.message());
    std::vector<ip::address> out;
    for (const auto& entry : found) {
        const ip::address a = entry.endpoint().address();
        if (std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
    }
    return out;
}

tcp::acceptor listening_on(const boost::asio::any_io_executor& ex, const tcp::endpoint& at) {
    tcp::acceptor acceptor(ex);
    acceptor.open(at.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    // Set here, not left to the system's default: [::] listens on IPv4 as well.
    if (at.address().is_v6()) acceptor.set_option(ip::v6_only(!at.address().is_unspecified()));
    acceptor.bind(at);
    acceptor.listen(boost::asio::socket_base::max_listen_connections);
    return acceptor;
}

}  // namespace

std::vector<tcp::acceptor> open_listeners(const boost::asio::any_io_executor& ex,
                                          const std::string& listen) {
    const auto colon = listen.rfind(':');
    const std::string host = listen.substr(0, colon);
    std::vector<tcp::acceptor> out;
    try {
        auto port = static_cast<unsigned short>(std::stoi(listen.substr(colon + 1)));
        for (const ip::address& address : addresses_of(ex, host)) {
            out.push_back(listening_on(ex, tcp::endpoint(address, port)));
            port = out.front().local_endpoint().port();
        }
    } catch (const boost::system::system_error& e) {
        if (e.code() == boost::asio::error::address_in_use) throw std::runtime_error("port in use");
        throw std::runtime_error(e.code().message());
    }
    return out;
}

}  // namespace kavren::host
