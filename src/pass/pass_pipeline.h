// The multithreaded part of an inference pass, after the header. Its phases:
//  1. read: the calling thread reads the input in order, once, in blocks, and
//     cuts it into chunks at a guessed row end (a FIFO works as a file does);
//  2. tokenize: a round of chunks is tokenized on the pool, each chunk from a
//     row start, and each kept field is hashed and given its match set (which
//     types match the text) through the thread's own memo; where a cell's
//     type follows from its text alone, the workers also count the chunk;
//  3. settle: meanwhile, the calling thread confirms the round before in file
//     order, tokenizes again a chunk whose cut fell inside quotes, and hands
//     each chunk to the consumer, which applies the classification rule.
// Invariants: the consumer sees exactly the rows of a CsvParser over the same
// input, in file order, on the calling thread; a match set depends on the
// text alone, so no worker needs to know the trial orders or the cache; at
// most two rounds of chunks (a few per thread) are in memory.
//
//   PassPipeline pipeline(file, parser.unread(), setup, stats);
//   pipeline.run([&](const PassPipeline::Settled& chunk) { /* classify chunk.rows */ });
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "chunk_parser.hpp"
#include "classify/missing_values.h"
#include "classify/text_cache.h"
#include "match/pattern_table.h"
#include "match/type_automaton.h"
#include "match/type_matcher.h"
#include "parser.hpp"
#include "pass/pass_stats.h"
#include "pass/types_file.h"
#include "pass/worker_pool.h"

namespace quorvel {

// What the tokenizing thread learnt of one kept field of a chunk.
struct FieldFacts {
  std::size_t hash;       // TextCache::hashOf(text)
  std::uint64_t matches;  // the text's MatchSet over the table's matchSetTypes()
};

// A chunk in file order, as the consumer gets it.
struct SettledChunk {
  const ChunkTokenizer& rows;
  const std::vector<FieldFacts>& facts;  // by kept field of its rows
  // Counting apart: by column * the table's names().size() + type id, and the
  // chunk's lines of the types file if writeLines.
  const std::vector<std::uint64_t>& counts;
  const std::string& lines;
};

class PassPipeline {
 public:
  struct Setup {
    CsvScanner dialect;
    std::size_t columns;  // fields kept per row
    unsigned threads;     // the calling thread and the workers, 2 or more
    std::size_t chunkBytes;
    // Its matcher, shared by all threads, and its matchSetTypes(): with none,
    // the workers give no match sets.
    const PatternTable* table;
    const MissingValues* missing;
    // Set when a cell's type follows from its text alone
    // (PatternTable::typesOfTextIfNoneShared): then the workers count their
    // chunks themselves, a missing value as "NA", the one type matching a text,
    // or "other".
    const TypeAutomaton* countApart;
    bool writeLines;  // of the types file, when counting apart
    // Called on the calling thread now and then, also while it waits for the
    // workers; what it throws ends the pass.
    std::function<void()> poll;
  };

  using Settled = SettledChunk;
  using Consumer = std::function<void(const Settled&)>;

  // `unread` is what a CsvParser took from `input` past the header row.
  PassPipeline(std::istream& input, std::string_view unread, Setup setup, PassStats& stats);
  ~PassPipeline();

  // Calls consume() for every chunk in file order on the calling thread. A
  // failure of reading or of the consumer ends the pass after the workers
  // stop; the chunks before it have been consumed.
  void run(const Consumer& consume);

 private:
  struct Chunk;
  struct Round {
    std::vector<std::unique_ptr<Chunk>> chunks;
    std::size_t count = 0;  // chunks in use
  };
  // Per thread: the memo of match sets by text.
  struct MatchMemo {
    std::uint64_t matches = MatchSet::kUnknown;
  };

  void readRound(Round& round);
  bool readChunk(Chunk& chunk);
  bool takeInput(std::string& bytes);
  void tokenize(Chunk& chunk, unsigned thread);
  void describe(Chunk& chunk, unsigned thread);
  void count(Chunk& chunk) const;
  std::uint64_t matchSet(std::string_view text, std::size_t hash, unsigned thread);
  void poll();
  void noteFailure(std::uint64_t sequence);
  void settle(Round& round, const Consumer& consume);

  std::istream& input_;
  Setup setup_;
  PassStats& stats_;
  std::string unread_;  // read by the parser of the header, past it
  std::size_t unreadStart_ = 0;
  std::string leftOver_;     // read past the last cut
  bool inputEnded_ = false;  // the stream is used up
  bool lastRead_ = false;    // the chunk that ends the input is read
  std::exception_ptr readError_;
  std::size_t chunksPerRound_;
  Round rounds_[2];
  ChunkTokenizer confirmed_;  // where the last consumed chunk ended
  std::vector<TextTable<MatchMemo>> memos_;
  std::atomic<bool> abandoned_{false};
  std::exception_ptr interrupted_;  // what poll() threw
  std::uint64_t chunksRead_ = 0;
  // The first chunk, in file order, whose matching failed and which is not
  // settled yet: chunks after it stop matching, since the pass likely fails
  // there, and what they leave unmatched is matched when they are settled.
  std::atomic<std::uint64_t> firstFailure_{kNoFailure};
  static constexpr std::uint64_t kNoFailure = ~std::uint64_t{0};
  WorkerPool pool_;  // last, so that it stops before what its workers use goes
};

}  // namespace quorvel
