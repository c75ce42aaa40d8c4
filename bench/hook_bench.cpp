// What the pass's hook costs: the same pass over one file without a hook and
// with one that does nothing, taken in turns (first one, then the other) so
// that both meet the same load on a shared machine, each timed by its
// fastest run, in both modes.
//
//   hook_bench data.csv        # MB/s (10^6 bytes) and CPU seconds for each, best of five
//   hook_bench data.csv 9      # best of nine instead
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>

#include "inf.h"

namespace {

// A table like an everyday one, in the automaton's syntax.
const quorvel::PatternStrings kTypes = {
    {"int", {"[-+]?(?:0|[1-9][0-9]*)"}},
    {"decimal", {"[-+]?[0-9]+\\.[0-9]+"}},
    {"date", {"[0-9]{4}-[0-9]{2}-[0-9]{2}"}},
    {"word", {"[A-Za-z]+"}},
};

struct Took {
  double wall;
  double cpu;  // of all the process's threads: less at the mercy of other processes
};

double cpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

Took timePass(const std::string& path, bool threads, const quorvel::PassHook& hook) {
  quorvel::Inf inf(path, ',', kTypes, {"", "NA"}, threads, false, "", 1000);
  const double cpuBefore = cpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  inf.inferTypes(hook);
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  return Took{wall.count(), cpuSeconds() - cpuBefore};
}

void keepFastest(Took& best, const Took& took) {
  best.wall = std::min(best.wall, took.wall);
  best.cpu = std::min(best.cpu, took.cpu);
}

}  // namespace

int main(int argc, char** argv) {
  const char* runsArg = argc == 3 ? argv[2] : "5";
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: hook_bench FILE [RUNS]\n");
    return 2;
  }
  const int runs = std::max(1, std::atoi(runsArg));
  try {
    const double megabytes = static_cast<double>(std::filesystem::file_size(argv[1])) / 1e6;
    for (const bool threads : {false, true}) {
      std::uint64_t calls = 0;
      const quorvel::PassHook nothing = [&calls](const quorvel::PassProgress&) { ++calls; };
      Took bare{1e300, 1e300};
      Took hooked{1e300, 1e300};
      // Which goes first changes every round: the first of a pair can find
      // the machine otherwise than the second.
      for (int i = 0; i < 2 * runs; ++i) {
        if ((i + i / 2) % 2 == 0) {
          keepFastest(bare, timePass(argv[1], threads, nullptr));
        } else {
          keepFastest(hooked, timePass(argv[1], threads, nothing));
        }
      }
      std::printf(
          "%-9s no hook %7.1f MB/s %6.3f s CPU   hook %7.1f MB/s %6.3f s CPU   hook costs "
          "%+.2f%% wall %+.2f%% CPU   (%llu calls in %d passes)\n",
          threads ? "2 threads" : "1 thread", megabytes / bare.wall, bare.cpu,
          megabytes / hooked.wall, hooked.cpu, 100.0 * (hooked.wall - bare.wall) / bare.wall,
          100.0 * (hooked.cpu - bare.cpu) / bare.cpu, static_cast<unsigned long long>(calls), runs);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "hook_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
