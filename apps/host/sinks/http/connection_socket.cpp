#include "apps/host/sinks/http/connection_socket.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

namespace kavren::host {

namespace {

// The address and port of a socket name, or false for one that is not IPv4 or IPv6.
bool address_of(const sockaddr_storage& name, std::string& address, int& port) {
    char text[INET6_ADDRSTRLEN] = "";
    if (name.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&name);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        port = ntohs(in->sin_port);
    } else if (name.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&name);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        port = ntohs(in6->sin6_port);
    } else {
        return false;
    }
    address = text;
    return true;
}

bool is_the_connection(int fd, int local_port, const std::string& remote_address, int remote_port) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) return false;
    sockaddr_storage name{};
    socklen_t size = sizeof name;
    std::string address;
    int port = 0;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&name), &size) != 0 ||
        !address_of(name, address, port) || port != local_port)
        return false;
    size = sizeof name;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&name), &size) != 0 ||
        !address_of(name, address, port))
        return false;
    return port == remote_port && address == remote_address;
}

}  // namespace

int connection_socket(int local_port, const std::string& remote_address, int remote_port) {
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) return -1;
    int found = -1;
    while (const dirent* entry = readdir(folder)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd == dirfd(folder)) continue;
        if (is_the_connection(fd, local_port, remote_address, remote_port)) {
            found = fd;
            break;
        }
    }
    closedir(folder);
    return found;
}

}  // namespace kavren::host
