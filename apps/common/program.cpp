#include "apps/common/program.h"

#include <ctime>
#include <iostream>

namespace kavren::app {

std::optional<int> parse_command_line(CLI::App& app, int argc, char** argv, const char* program) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::ParseError& e) {
        std::cerr << program << ": " << e.what() << " (see --help)" << std::endl;
        return 2;
    }
    return std::nullopt;
}

int run_reporting_errors(const char* program, const std::function<int()>& body) {
    try {
        return body();
    } catch (const UsageError& e) {
        std::cerr << program << ": " << e.what() << std::endl;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << program << ": " << e.what() << std::endl;
        return 1;
    }
}

std::string local_time_text(const char* format) {
    return local_time_text(format, std::time(nullptr));
}

std::string local_time_text(const char* format, std::time_t at) {
    std::tm parts{};
    localtime_r(&at, &parts);
    char text[64];
    std::strftime(text, sizeof text, format, &parts);
    return text;
}

}  // namespace kavren::app
