// What the last pass did on the pipeline, for tests and the benchmark; kept
// apart from the pipeline so that Inf's header can hold it without it.
//
//   const PassStats& stats = inf.getPassStats();
//   if (stats.reparsed > 0) { /* some cut fell inside quotes */ }
#pragma once

#include <cstdint>

namespace quorvel {

// What the last pass did, for tests and the benchmark. A pass whose rows
// went one by one through the cache leaves every figure at zero.
struct PassStats {
  unsigned threads = 0;             // of the pipeline, the calling thread included
  bool countedApart = false;        // the workers (or the calling thread alone) counted the chunks
  std::uint64_t chunks = 0;         // handed to the consumer
  std::uint64_t reparsed = 0;       // tokenized again on the calling thread
  std::uint64_t workerChunks = 0;   // tokenized by a worker, not the calling thread
  std::uint64_t unknownFields = 0;  // fields left without a match set
  // Resolving: fields first of their text in their chunk whose text an
  // earlier chunk of their window had, as the round's link found them.
  std::uint64_t textsAcrossChunks = 0;
  double readSeconds = 0;    // calling thread, reading and cutting
  double settleSeconds = 0;  // calling thread, confirming and consuming
  double linkSeconds = 0;    // resolving: linking the rounds, on every thread
};

}  // namespace quorvel
