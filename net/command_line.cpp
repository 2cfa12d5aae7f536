#include "command_line.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>

namespace cli {

bool whole_number(const char* text, int low, int high, int& value) {
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

std::string written_option(char** argv, int letter) {
    int at = optind - 1;
    if (optarg != nullptr && at > 0 && optarg == argv[at]) {
        --at;  // the value was a word of its own
    }
    const std::string written = at > 0 ? argv[at] : "";
    if (written.rfind("--", 0) == 0) {
        return written.substr(0, written.find('='));
    }
    return std::string("-") + static_cast<char>(letter);
}

}  // namespace cli
