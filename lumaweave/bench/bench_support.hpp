// Shared main for the benchmark programs: runs the registered benchmarks, then prints the
// ratio of each measured benchmark to its baseline from the same run.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

namespace lwbench {

// A pair to compare: "name" against "baseline" (benchmark names without arguments suffix
// are matched per argument, e.g. BM_Device/2 against BM_OpenCV/2).
void compare(const std::string& name, const std::string& baseline);

int run(int argc, char** argv);

// A real photograph at the given size, for realistic memory traffic.
cv::Mat scene(cv::Size size);

}  // namespace lwbench

#define LW_BENCH_MAIN()                                   \
  int main(int argc, char** argv) { return lwbench::run(argc, argv); }
