// A console reporter that also prints the ratio of two benchmarks' byte rates, measured in
// the same process: absolute speeds drift on shared machines, ratios hold.
#ifndef VTFC4_BENCH_RATIO_REPORTER_H
#define VTFC4_BENCH_RATIO_REPORTER_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Prints rate(numerator) / rate(denominator) after the runs.
  RatioReporter(std::string numerator, std::string denominator)
      : numerator_(std::move(numerator)), denominator_(std::move(denominator)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      auto it = r.counters.find("bytes_per_second");
      if (it == r.counters.end() || r.run_type != Run::RT_Iteration) continue;
      rates_[r.benchmark_name()] = it->second.value;
    }
  }

  // Runs are paired by what follows the two prefixes (their arguments), so one reporter serves
  // benchmarks that run at several sizes.
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [name, rate] : rates_) {
      if (name.rfind(numerator_, 0) != 0) continue;
      auto den = rates_.find(denominator_ + name.substr(numerator_.size()));
      if (den == rates_.end() || rate <= 0 || den->second <= 0) continue;
      std::printf("ratio %s / %s = %.2f (%.1f MB/s vs %.1f MB/s)\n", name.c_str(),
                  den->first.c_str(), rate / den->second, rate / 1e6, den->second / 1e6);
    }
  }

 private:
  std::string numerator_, denominator_;
  std::map<std::string, double> rates_;
};

// Rounds that time one run of the reference and one of the library back to back: the machine's
// drift touches both halves of a round alike, so the ratios of single rounds agree far better
// than those of two long runs taken one after the other. Prints the median ratio (reference
// time over library time: above 1 the library is faster) with the lowest and highest.
template <class Reference, class Library>
double PairedRounds(const char* what, int rounds, Reference reference, Library library) {
  auto seconds = [](auto& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  std::vector<double> ratios;
  for (int round = 0; round < rounds; ++round) {
    const double theirs = seconds(reference);
    const double ours = seconds(library);
    ratios.push_back(theirs / ours);
  }
  std::sort(ratios.begin(), ratios.end());
  const double median = ratios[ratios.size() / 2];
  std::printf("%s, %zu rounds: %.2f times the reference's speed (median; lowest %.2f, highest %.2f)\n", what,
              ratios.size(), median, ratios.front(), ratios.back());
  return median;
}

#endif  // VTFC4_BENCH_RATIO_REPORTER_H
