// A console reporter that also prints the ratio of two benchmarks' byte rates, measured in
// the same process: absolute speeds drift on shared machines, ratios hold.
#ifndef VTFC4_BENCH_RATIO_REPORTER_H
#define VTFC4_BENCH_RATIO_REPORTER_H

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

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

#endif  // VTFC4_BENCH_RATIO_REPORTER_H
