#include "common/report.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

namespace zorad::bench {

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double WallSeconds() {
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double Median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const size_t n = samples.size();
  return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Ratio(double numerator, double denominator) {
  if (denominator == 0) return numerator == 0 ? "1.00" : "n/a";
  return Fixed(numerator / denominator);
}

std::string Numbered(const std::string& prefix, size_t n) {
  std::string text = prefix;
  text += std::to_string(n);
  return text;
}

std::string Duration(double seconds) {
  const double magnitude = std::fabs(seconds);
  if (magnitude < 1e-6) return Fixed(seconds * 1e9, 0) + " ns";
  if (magnitude < 1e-3) return Fixed(seconds * 1e6, magnitude < 1e-5 ? 2 : 1) + " us";
  if (magnitude < 1) return Fixed(seconds * 1e3, magnitude < 1e-2 ? 2 : 1) + " ms";
  return Fixed(seconds, 2) + " s";
}

std::string Table::Render() const {
  std::vector<size_t> width(header_.size(), 3);
  auto measure = [&](const std::vector<std::string>& cells) {
    for (size_t i = 0; i < cells.size() && i < width.size(); ++i) {
      width[i] = std::max(width[i], cells[i].size());
    }
  };
  measure(header_);
  for (const auto& row : rows_) measure(row);
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text = "|";
    for (size_t i = 0; i < width.size(); ++i) {
      const std::string cell = i < cells.size() ? cells[i] : "";
      text += " " + cell + std::string(width[i] - cell.size(), ' ') + " |";
    }
    return text + "\n";
  };
  std::string text = line(header_);
  std::vector<std::string> rule;
  for (size_t w : width) rule.push_back(std::string(w, '-'));
  text += line(rule);
  for (const auto& row : rows_) text += line(row);
  return text;
}

size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0;
  size_t resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace zorad::bench
