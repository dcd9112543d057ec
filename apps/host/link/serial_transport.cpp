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
    // libmodbus closes the descriptor: the loop only lets go of it.
    if (line_ && line_->is_open()) line_->release();
    if (serial_ != nullptr) {
        modbus_close(serial_);
        modbus_free(serial_);
        serial_ = nullptr;
    }
    fd_ = -1;
}

void SerialTransport::flush_input() { tcflush(fd_, TCIFLUSH); }

void SerialTransport::cancel_io() {
    if (line_ && line_->is_open()) {
        boost::system::error_code ignored;
        line_->cancel(ignored);
    }
}

asio::awaitable<boost::system::error_code> SerialTransport::wait_ready(Direction direction) {
    boost::system::error_code ec;
    co_await line_->async_wait(direction == Direction::read
                                   ? asio::posix::stream_descriptor::wait_read
                                   : asio::posix::stream_descriptor::wait_write,
                               into(ec));
    co_return ec;
}

asio::awaitable<bool> SerialTransport::open(std::string& why) {
    if (fd_ >= 0) co_return true;
    if (stopped()) {
        why = "cannot open " + name_ + ": stopped";
        co_return false;
    }
    if (!line_) line_.emplace(co_await asio::this_coro::executor);
    serial_ = modbus_new_rtu(config_.device.c_str(), baud_, config_.parity, config_.data_bits,
                             config_.stop_bits);
    if (serial_ == nullptr) {
        why = "cannot use " + name_ + ": " + modbus_strerror(errno);
        co_return false;
    }
    if (modbus_connect(serial_) != 0) {
        why = "cannot open " + name_ + ": " + modbus_strerror(errno);
        modbus_free(serial_);
        serial_ = nullptr;
        co_return false;
    }
    fd_ = modbus_get_socket(serial_);
    if (!set_up(why)) {
        close();
        co_return false;
    }
    co_return true;
}

bool SerialTransport::set_up(std::string& why) {
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        why = config_.device + " is in use by another program";
        return false;
    }
    const int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) {
        why = "cannot use " + name_ + ": " + std::strerror(errno);
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
    boost::system::error_code ec;
    line_->assign(fd_, ec);
    if (ec) {
        why = "cannot use " + name_ + ": " + ec.message();
        return false;
    }
    return true;
}

}  // namespace kavren::host
