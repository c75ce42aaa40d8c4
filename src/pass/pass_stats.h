// What the last multithreaded pass did, for tests and the benchmark; kept
// apart from the pipeline so that Inf's header can hold it without it.
//
//   const PassStats& stats = inf.getPassStats();
//   if (stats.reparsed > 0) { /* some cut fell inside quotes */ }
#pragma once

#include <cstdint>

namespace quorvel {

// What the last multithreaded pass did, for tests and the benchmark.
struct PassStats {
  bool countedApart = false;        // the workers counted the chunks
  std::uint64_t chunks = 0;         // handed to the consumer
  std::uint64_t reparsed = 0;       // tokenized again on the calling thread
  std::uint64_t workerChunks = 0;   // tokenized by a worker, not the calling thread
  std::uint64_t unknownFields = 0;  // fields left without a match set
  double readSeconds = 0;           // calling thread, reading and cutting
  double settleSeconds = 0;         // calling thread, confirming and consuming
};

}  // namespace quorvel
