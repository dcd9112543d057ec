#include "apps/host/link/serial_transport.h"

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>

#include <cerrno>
#include <cstring>

#include <modbus/modbus.h>

namespace kavren::host {

SerialTransport::SerialTransport(const LinkConfig& config, int baud)
    : Transport(config.describe()), config_(config), baud_(baud) {}

SerialTransport::~SerialTransport() { close(); }

void SerialTransport::close() {
    if (serial_ != nullptr) {
        modbus_close(serial_);
        modbus_free(serial_);
        serial_ = nullptr;
    }
    fd_ = -1;
}

void SerialTransport::flush_input() { tcflush(fd_, TCIFLUSH); }

bool SerialTransport::open(std::string& why) {
    if (fd_ >= 0) return true;
    serial_ = modbus_new_rtu(config_.device.c_str(), baud_, config_.parity, config_.data_bits,
                             config_.stop_bits);
    if (serial_ == nullptr) {
        why = "cannot use " + name_ + ": " + modbus_strerror(errno);
        return false;
    }
    if (modbus_connect(serial_) != 0) {
        why = "cannot open " + name_ + ": " + modbus_strerror(errno);
        modbus_free(serial_);
        serial_ = nullptr;
        return false;
    }
    fd_ = modbus_get_socket(serial_);
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        why = config_.device + " is in use by another program";
        close();
        return false;
    }
    const int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) {
        why = "cannot use " + name_ + ": " + std::strerror(errno);
        close();
        return false;
    }
    // One byte at least per read: a read that finds nothing then says EAGAIN, and 0 means the
    // device hung up, as on a socket.
    termios line{};
    if (tcgetattr(fd_, &line) == 0) {
        line.c_cc[VMIN] = 1;
        line.c_cc[VTIME] = 0;
        tcsetattr(fd_, TCSANOW, &line);
    }
    tcflush(fd_, TCIOFLUSH);
    return true;
}

}  // namespace kavren::host
