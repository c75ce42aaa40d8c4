// What the pass's hook costs: the same pass over one file without a hook and
// with one that does nothing, taken in turns so that both meet the same load
// on a shared machine, each timed by its fastest run, in both modes.
//
//   hook_bench data.csv        # prints MB/s (10^6 bytes) for each, best of five
//   hook_bench data.csv 9      # best of nine instead
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

double secondsOfPass(const std::string& path, bool threads, const quorvel::PassHook& hook) {
  quorvel::Inf inf(path, ',', kTypes, {"", "NA"}, threads, false, "", 1000);
  const auto start = std::chrono::steady_clock::now();
  inf.inferTypes(hook);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return took.count();
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
      double bare = 1e300;
      double hooked = 1e300;
      for (int i = 0; i < runs; ++i) {
        bare = std::min(bare, secondsOfPass(argv[1], threads, nullptr));
        hooked = std::min(hooked, secondsOfPass(argv[1], threads, nothing));
      }
      std::printf(
          "%-9s no hook %8.1f MB/s   hook %8.1f MB/s   hook costs %+.2f%%   (%llu calls "
          "in %d passes)\n",
          threads ? "2 threads" : "1 thread", megabytes / bare, megabytes / hooked,
          100.0 * (hooked - bare) / bare, static_cast<unsigned long long>(calls), runs);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "hook_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
