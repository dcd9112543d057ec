// The reference for the host's speed: the same seven register reads per round as the driver
// asks for, made with libmodbus in a bare loop that decodes and stores nothing.
// usage: bare_modbus_loop HOST PORT ROUNDS [UNIT]; prints "ROUNDS rounds in S s: R rounds/s".
#include <modbus/modbus.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

struct Read {
    int start;
    int count;
};
// The driver's poll round: setup, status, limits, register 308, then the three measurement blocks.
constexpr Read kRound[] = {{0, 6},     {256, 7},   {272, 30}, {308, 1},
                           {4096, 30}, {8192, 16}, {8448, 16}};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s HOST PORT ROUNDS [UNIT]\n", argv[0]);
        return 2;
    }
    const long rounds = std::atol(argv[3]);
    modbus_t* link = modbus_new_tcp_pi(argv[1], argv[2]);
    if (link == nullptr || modbus_connect(link) != 0) {
        std::fprintf(stderr, "cannot connect: %s\n", modbus_strerror(errno));
        return 1;
    }
    modbus_set_slave(link, argc > 4 ? std::atoi(argv[4]) : 1);
    uint16_t words[125];
    long failed = 0;
    const auto started = std::chrono::steady_clock::now();
    for (long r = 0; r < rounds; ++r) {
        for (const Read& read : kRound) {
            if (modbus_read_registers(link, read.start, read.count, words) != read.count) ++failed;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    modbus_close(link);
    modbus_free(link);
    std::printf("%ld rounds in %.3f s: %.1f rounds/s (%ld reads failed)\n", rounds, seconds,
                rounds / seconds, failed);
    return failed == 0 ? 0 : 1;
}
