// Writes the page's history for scripts/lighthouse.sh, which scores the page as it shows days of
// rounds. usage: page_history DATABASE METER DAYS
#include <cstdlib>
#include <exception>
#include <iostream>

#include "tests/apps/page_history.h"

int main(int argc, char** argv) {
    const int days = argc == 4 ? std::atoi(argv[3]) : 0;
    if (days <= 0) {
        std::cerr << "usage: page_history DATABASE METER DAYS\n";
        return 2;
    }
    try {
        testing_support::write_page_history(argv[1], argv[2], days);
    } catch (const std::exception& e) {
        std::cerr << "page_history: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
