// The cost set's spreads, and its table of every figure.
#include "report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "bench.h"

namespace bench {
namespace {

struct Row {
    std::string section;
    std::string measure;
    std::string now;
    std::string before;
};

std::vector<Row>& rows() {
    static std::vector<Row> all;
    return all;
}

std::vector<std::string>& oddities() {
    static std::vector<std::string> all;
    return all;
}

}  // namespace

std::string spread(const std::vector<double>& values, const char* format) {
    if (values.empty()) {
        return "-";
    }
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    std::string out;
    char text[64];
    for (const double v : {sorted.front(), median(sorted), sorted.back()}) {
        std::snprintf(text, sizeof text, format, v);
        out += out.empty() ? "" : "/";
        out += text;
    }
    return out;
}

double median(const std::vector<double>& values) {
    if (values.empty()) {
        return 0;
    }
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

std::vector<double> ratios(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> out;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (b[i] != 0) {
            out.push_back(a[i] / b[i]);
        }
    }
    return out;
}

void figure(const std::string& section, const std::string& measure, const std::string& now,
            const std::string& before) {
    rows().push_back({section, measure, now, before});
}

void oddity(const std::string& what) {
    oddities().push_back(what);
    say("  ! %s\n", what.c_str());
}

void print_table() {
    std::size_t width = 7;
    std::size_t now_width = 3;
    for (const Row& row : rows()) {
        width = std::max(width, row.section.size() + row.measure.size() + 3);
        now_width = std::max(now_width, row.now.size());
    }
    say("\n%-*s | %-*s | %s\n", static_cast<int>(width), "measure", static_cast<int>(now_width),
        "now", "before");
    say("%s-|-%s-|-------\n", std::string(width, '-').c_str(), std::string(now_width, '-').c_str());
    for (const Row& row : rows()) {
        const std::string name = "[" + row.section + "] " + row.measure;
        say("%-*s | %-*s | %s\n", static_cast<int>(width), name.c_str(),
            static_cast<int>(now_width), row.now.c_str(), row.before.c_str());
    }
    say("\nodd things seen: %s\n", oddities().empty() ? "none" : "");
    for (const std::string& what : oddities()) {
        say("  - %s\n", what.c_str());
    }
}

void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

}  // namespace bench
