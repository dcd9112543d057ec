// The page in headless Chromium (Selenium, tests/apps/page_check.py) against kavren-host polling
// four meters of kavren-sim, the first with a history of eight days of rounds with an outage and a
// stretch of failed rounds.
// KAVREN_PAGE_SCREENSHOTS=DIR also leaves the pictures of the README there (page.png,
// page-phone.png).
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/apps/e2e_fixture.h"
#include "tests/apps/page_history.h"

namespace {

using namespace testing_support;

// As many meters as the live table shows side by side on a desk without scrolling.
constexpr int kMeters = 4;

bool installed(const char* path) { return access(path, X_OK) == 0; }

class PageInBrowser : public EndToEnd {};

TEST_F(PageInBrowser, PlotsReadTheSeriesAppendNewRoundsAndFitADeskAndAPhone) {
    for (const char* program : {"/usr/bin/chromium", "/usr/bin/chromedriver"})
        if (!installed(program)) GTEST_SKIP() << program << " is not installed";
    // The rounds of the first 39 hours removed as the raw rows' retention would, their minutes
    // and hours kept.
    const PageHistory h = write_page_history(db, "meter-1", 8, 39);
    image.set(262, 0x0001);  // the first limit violated: an alarm active now
    // The meter now as the history has it: line voltages √3 times the phase ones, 5 A, PF 0.95.
    for (int k = 0; k < 4; ++k) image.set(4100 + k, static_cast<uint16_t>(39840 + 10 * k));
    for (int k = 0; k < 5; ++k) image.set(4104 + k, static_cast<uint16_t>(k < 4 ? 2500 + k : 40));
    for (int k = 0; k < 4; ++k) image.set(4121 + k, 950);
    write_file(registers, registers_json(image));
    int sim_port = 0;
    auto sim = tcp_sim(sim_port, {"--unit", "1-" + std::to_string(kMeters)});
    std::string meters;
    for (int k = 1; k <= kMeters; ++k)
        meters += std::string(k > 1 ? ", " : "") + R"({"name": "meter-)" + std::to_string(k) +
                  R"(", "unit": )" + std::to_string(k) + "}";
    const std::string config = dir + "/host.json";
    write_file(config, R"({"interval": 0.5, "links": [{"tcp": "127.0.0.1:)" +
                           std::to_string(sim_port) + R"(", "meters": [)" + meters + "]}]}");
    const std::string port_file = dir + "/http-port";
    Background host({kHost, "--config", config, "--db", db, "--quiet-plugin", "--http",
                     "127.0.0.1:0", "--http-port-file", port_file},
                    dir + "/host.log");
    const int port = port_from_file(port_file);
    ASSERT_GT(port, 0) << read_file(dir + "/host.log");

    std::vector<std::string> args{"/usr/bin/python3",
                                  std::string(KAVREN_SOURCE_DIR) + "/tests/apps/page_check.py",
                                  "http://127.0.0.1:" + std::to_string(port),
                                  "meter-1",
                                  "--meters",
                                  std::to_string(kMeters),
                                  "--oldest",
                                  std::to_string(h.oldest),
                                  "--raw-from",
                                  std::to_string(h.raw_from)};
    for (const auto& [from, to] :
         {std::pair{h.outage_from, h.outage_to}, {h.failed_from, h.failed_to}})
        args.insert(args.end(), {"--outage", std::to_string(from), std::to_string(to)});
    if (const char* shots = std::getenv("KAVREN_PAGE_SCREENSHOTS"))
        args.insert(args.end(), {"--screenshots", shots});
    const Finished check = run_program(args, 420);
    EXPECT_EQ(check.status, 0) << check.out << check.err << read_file(dir + "/host.log");
}

}  // namespace
