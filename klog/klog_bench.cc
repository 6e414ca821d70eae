// Cost of a log line: the hand-made header against a general-purpose
// formatter as baseline, and a whole line written to /dev/null against the
// same line written by the caller itself.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include <benchmark/benchmark.h>

#include "klog/klog.h"

namespace klog {
namespace {

const HeaderTime kTime{12, 7, 9, 30, 5, 42};

void BM_FormatHeader(benchmark::State& state) {
  std::string out;
  for (auto _ : state) {
    out.clear();
    FormatHeader(INFO, kTime, 4321, "runner.cc", 215, &out);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_FormatHeader);

// Baseline: the same header through snprintf.
void BM_FormatHeaderSnprintf(benchmark::State& state) {
  std::string out;
  char tmp[64];
  for (auto _ : state) {
    out.clear();
    const int n = std::snprintf(
        tmp, sizeof tmp, "%c%02d%02d %02d:%02d:%02d.%06d %7d %s:%d] ", 'I',
        kTime.month, kTime.day, kTime.hour, kTime.minute, kTime.second,
        kTime.micros, 4321, "runner.cc", 215);
    out.append(tmp, static_cast<std::size_t>(n));
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_FormatHeaderSnprintf);

// Baseline for BM_InfoLine: the same line formatted and written by the
// caller itself with one write(2), as the core did before it handed lines
// to its output thread.
void BM_InfoLineWrittenByTheCaller(benchmark::State& state) {
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const std::string path = "/w/app/src/main.js";
  std::string line;
  for (auto _ : state) {
    line.clear();
    if (state.range(0) != 0) {
      FormatHeader(INFO, kTime, 4321, "klog_bench.cc", 60, &line);
    }
    const Arg args[] = {"Full path is:  ", path};
    AppendArgs(args, &line);
    line.push_back('\n');
    benchmark::DoNotOptimize(::write(null, line.data(), line.size()));
  }
  ::close(null);
}
BENCHMARK(BM_InfoLineWrittenByTheCaller)->Arg(0)->Arg(1);

// A whole line with header, clock read, the hand-over to the output thread
// and its write(2), to /dev/null.
void BM_InfoLine(benchmark::State& state) {
  FlagSet flags("klog", ErrorHandling::kContinueOnError);
  InitFlags(&flags);
  (void)flags.SetByName("skip_headers", state.range(0) ? "false" : "true");
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const int previous = test_hooks::SetOutputFd(null);
  const std::string path = "/w/app/src/main.js";
  for (auto _ : state) {
    const Arg args[] = {"Full path is:  ", path};
    InfoDepth(std::source_location::current(), args);
  }
  test_hooks::SetOutputFd(previous);
  ::close(null);
}
BENCHMARK(BM_InfoLine)->Arg(0)->Arg(1);

}  // namespace
}  // namespace klog

BENCHMARK_MAIN();
