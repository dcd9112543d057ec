// kavren-host: loads a device plug-in as the monitoring host does and polls meters with it over
// Modbus RTU or TCP, storing every round and alarm in SQLite.
#include <chrono>
#include <csignal>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "apps/common/program.h"
#include "apps/common/stop_signal.h"
#include "apps/host/command_line.h"
#include "apps/host/config/fields_markdown.h"
#include "apps/host/history/history_export.h"
#include "apps/host/pipeline/pipeline.h"
#include "apps/host/support/host_log.h"

namespace {

using namespace kavren::host;

// The pipeline runs to its end; its report is the exit status. The log outlives it, so that
// its last lines go out. A reload reads the configuration again as the start did: the same file,
// the same options winning over it.
int run(const HostConfig& config, const HostCommandLine& command_line) {
    HostLog log;
    int status = 0;
    {
        PipelineParts parts;
        parts.reread = [&command_line] { return command_line.config(); };
        Pipeline pipeline(config, std::ref(log), std::move(parts));
        status = pipeline.run().exit_status();
    }
    log.finish(std::chrono::steady_clock::now() + std::chrono::milliseconds(300));
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "export") return export_main(argc - 1, argv + 1);
    // The documentation's table of configuration fields is made from the program's own.
    if (argc == 2 && std::string(argv[1]) == "--help-fields-markdown") {
        std::cout << fields_markdown();
        return 0;
    }
    CLI::App app{
        "kavren-host: the reference host for the kavren_m7 plug-in. It loads the plug-in as the\n"
        "monitoring host does, polls KAVREN_M7 meters over Modbus RTU or TCP, shows each round,\n"
        "and stores every round and alarm in an SQLite history."};
    HostCommandLine command_line(app);
    if (auto status = kavren::app::parse_command_line(app, argc, argv, "kavren-host"))
        return *status;
    return kavren::app::run_reporting_errors("kavren-host", [&] {
        const HostConfig config = command_line.config();
        kavren::app::install_stop_signals();
        kavren::app::install_hangup_signal();
        // A history that reaches the file-size limit fails its write (EFBIG), which is logged
        // and retried, instead of killing the host.
        std::signal(SIGXFSZ, SIG_IGN);
        return run(config, command_line);
    });
}
