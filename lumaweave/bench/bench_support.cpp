#include "bench_support.hpp"

#include <cstdio>
#include <map>
#include <set>

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace lwbench {

namespace {

std::vector<std::pair<std::string, std::string>>& pairs() {
  static std::vector<std::pair<std::string, std::string>> p;
  return p;
}

class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  RecordingReporter() : ConsoleReporter(OO_None) {}
  std::map<std::string, double> seconds_per_iter;
  std::set<std::string> medians;
  void ReportRuns(const std::vector<Run>& runs) override {
    // With --benchmark_repetitions the median stands for the benchmark; else its single run.
    for (const Run& r : runs) {
      if (r.iterations == 0) continue;
      const std::string name = r.run_name.str();
      const double t = r.real_accumulated_time / double(r.iterations);
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
        seconds_per_iter[name] = t;
        medians.insert(name);
      } else if (r.run_type == Run::RT_Iteration && !medians.count(name)) {
        seconds_per_iter[name] = t;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

std::string splitName(const std::string& full, std::string& args) {
  const auto slash = full.find('/');
  args = slash == std::string::npos ? "" : full.substr(slash);
  return full.substr(0, slash);
}

}  // namespace

void compare(const std::string& name, const std::string& baseline) { pairs().emplace_back(name, baseline); }

int run(int argc, char** argv) {
  // Repetitions in random order, medians compared: on a shared machine a plain sequential run
  // lets drift in machine speed pass for a difference between the two paths. Flags given on
  // the command line come later and win.
  std::vector<char*> args{argv[0]};
  static char reps[] = "--benchmark_repetitions=5";
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  static char aggregates[] = "--benchmark_report_aggregates_only=true";
  for (char* a : {reps, interleave, aggregates}) args.push_back(a);
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  int n = int(args.size());
  args.push_back(nullptr);
  argv = args.data();
  argc = n;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  bool printed = false;
  for (const auto& [name, base] : pairs()) {
    for (const auto& [full, t] : reporter.seconds_per_iter) {
      std::string args;
      if (splitName(full, args) != name) continue;
      const auto b = reporter.seconds_per_iter.find(base + args);
      if (b == reporter.seconds_per_iter.end()) continue;
      if (!printed) std::printf("\nRatios (time of the library path / time of the baseline, same run):\n");
      printed = true;
      std::printf("  %-40s %-40s %.3f  (%.1f vs %.1f per second)\n", full.c_str(), (base + args).c_str(),
                  t / b->second, 1.0 / t, 1.0 / b->second);
    }
  }
  benchmark::Shutdown();
  return 0;
}

cv::Mat scene(cv::Size size) {
  cv::Mat img = cv::imread(std::string(LUMAWEAVE_OPENCV_DATA) + "/leuvenA.jpg", cv::IMREAD_COLOR);
  if (img.empty()) img = cv::Mat(size, CV_8UC3, cv::Scalar(90, 120, 150));
  cv::resize(img, img, size, 0, 0, cv::INTER_LINEAR);
  return img;
}

}  // namespace lwbench
