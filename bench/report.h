// How the cost set shows its figures: each as min/median/max over the runs
// that made it, "now" beside "before", and every one again in a table at
// the end of the run.
#ifndef LANLINK_BENCH_REPORT_H
#define LANLINK_BENCH_REPORT_H

#include <string>
#include <vector>

namespace bench {

// "min/median/max" of `values`, each with `format`; "-" when there are none.
std::string spread(const std::vector<double>& values, const char* format);

// The median of `values`; 0 when there are none.
double median(const std::vector<double>& values);

// Each value of `a` over the one of `b` at its place.
std::vector<double> ratios(const std::vector<double>& a, const std::vector<double>& b);

// A figure for the table at the end: what was measured, its value now, and
// before (or "-" where the previous state has no such thing).
void figure(const std::string& section, const std::string& measure, const std::string& now,
            const std::string& before = "-");

// A line in the table's notes: something odd the run saw (a lost answer, a
// drop, a program that died).
void oddity(const std::string& what);

// Prints the table of every figure, and the notes.
void print_table();

// printf() to standard output, flushed.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace bench

#endif  // LANLINK_BENCH_REPORT_H
