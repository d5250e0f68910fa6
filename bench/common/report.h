// Measurement helpers and the markdown tables the benchmarks print.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace zorad::bench {

using Clock = std::chrono::steady_clock;

// Seconds since `start`.
double SecondsSince(Clock::time_point start);

// Wall time in seconds on the steady clock: for calls whose cost includes
// the time the card and pcscd take.
double WallSeconds();

// CPU time of the calling thread in seconds. In-process measurements use it:
// on a shared machine the time a thread waits for a core is not the code's.
double ThreadSeconds();

// The median; 0 for no samples.
double Median(std::vector<double> samples);

// "1.00", "12.3", "0.004": a number with three significant digits.
std::string Fixed(double value, int decimals = 2);
std::string Ratio(double numerator, double denominator);
// "prefix" followed by the number: labels such as "obj-17".
std::string Numbered(const std::string& prefix, size_t n);
// A duration in the unit that suits it: "850 ns", "12.4 us", "3.10 ms", "1.20 s".
std::string Duration(double seconds);

// A markdown table, rendered with columns padded for reading as text.
class Table {
 public:
  explicit Table(std::vector<std::string> header) : header_(std::move(header)) {}
  void Row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
  std::string Render() const;

 private:
  std::vector<std::string> header_;
  std::vector<std::vector<std::string>> rows_;
};

// Resident set size of this process in bytes (from /proc/self/statm).
size_t ResidentBytes();

}  // namespace zorad::bench
