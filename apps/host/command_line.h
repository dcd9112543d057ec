#pragma once

#include <deque>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "apps/host/config/field_table.h"
#include "apps/host/config/host_config.h"

namespace kavren::host {

// kavren-host's command line: an option for every field of the configuration table that has
// one, then the whole configuration they and the configuration file give, checked. An option
// given wins over the file; the options of a link, its meter and its gateway describe the one
// link of a command line without --config.
class HostCommandLine {
  public:
    // Adds every option to `app`.
    explicit HostCommandLine(CLI::App& app);
    // After parsing: the configuration, checked whole. Throws app::UsageError.
    HostConfig config() const;

  private:
    // One option and what it was given.
    struct Given {
        const Field* field = nullptr;
        CLI::Option* option = nullptr;
        std::string text;
        std::vector<std::string> names;
        bool flag = false;

        bool given() const { return option->count() > 0; }
    };
    void add_option(CLI::App& app, const Field& field);
    const Given* given(Section section, const char* key) const;
    HostConfig from_file() const;
    HostConfig from_options() const;
    LinkConfig link_from_options() const;
    void apply_options(HostConfig& config) const;
    void check_sinks(const HostConfig& config) const;

    std::string config_file_;
    std::deque<Given> options_;  // a deque: CLI11 keeps pointers to each one's values
};

// What --help says after the options: how the command line and the file go together.
extern const char* const kCommandLineRule;

}  // namespace kavren::host
