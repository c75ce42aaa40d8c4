// The multithreaded part of an inference pass, after the header. Its phases:
//  1. read: the calling thread reads the input in order, once, in blocks, and
//     cuts it into chunks at a guessed row end (a FIFO works as a file does);
//  2. tokenize: a round of chunks is tokenized on the pool, each chunk from a
//     row start, and each kept field is hashed, given its match set (which
//     types match the text) and, resolving, the last earlier field of the
//     chunk with its text; in the counting mode the workers also count the
//     chunk; building, the workers turn the chunk's rows into its product (a
//     loader's batches);
//  3. settle: meanwhile, the calling thread confirms the round before in file
//     order, tokenizes again a chunk whose cut fell inside quotes, and hands
//     each chunk to the consumer, which applies the classification rule.
//     Resolving, the round before is confirmed first and linked on the whole
//     pool (RoundLink) before the next round starts to tokenize.
// Invariants: the consumer sees exactly the rows of a CsvParser over the same
// input, in file order, on the calling thread; a match set depends on the
// text alone, so no worker needs to know the trial orders or the cache; at
// most two rounds of chunks (a few per thread) are in memory.
//
// Failures. Every failure reaches the caller of resolve(), count() or
// buildStep() once, on the calling thread, after the workers have stopped
// (hnswlib's ParallelFor keeps its first failure the same way); the chunks
// before the failing one have been consumed:
//  - Reading (the stream's or the decompressor's error, std::bad_alloc for a
//    huge field) fails on the calling thread. The chunk being filled keeps it
//    as Chunk::error and ends the input; it is raised when that chunk settles.
//  - Tokenizing on a worker (std::bad_alloc) is caught into Chunk::error too,
//    and raised when that chunk settles, in file order.
//  - The poll (the caller's hook: a signal, a progress callback) throws on
//    the calling thread, inside a task or while it waits for the pool: it is
//    kept in `interrupted_`, sets `abandoned_` so that the workers drop the
//    round in flight, and is raised once the pool has finished the round.
//  - The consumer, or confirming a chunk, throws on the calling thread: run()
//    sets `abandoned_` and waits for the pool before it lets the failure go.
//  - A task of the RoundLink throws on any thread: each task's failure is
//    kept apart, and the first is raised once the pool has finished the
//    link, before the round's chunks are consumed. A chunk's own failure
//    stops the confirming ahead there: the chunks before it are linked and
//    consumed first.
//  - Matching (Boost giving up on a pattern's complexity) is not a failure
//    here: the worker leaves the text's match set MatchSet::kUnknown, and the
//    consumer matches it again in file order, with the column's trial order
//    at that row, so it fails, or not, exactly where a single-threaded pass
//    would. Meanwhile chunks after the first one with such a text (see
//    `firstFailure_`) stop matching, since the pass is likely to end there.
// So a multithreaded pass fails at the same row, with the same exception, as
// a single-threaded one over the same input.
//
// Building steps: each step() is one round of the loop above, so that a
// consumer that pulls (a C stream's get_next) drives the pipeline, and no
// worker runs between steps.
//
//   PassPipeline pipeline(file, parser.unread(), setup, stats);
//   pipeline.resolve(link, [&](const SettledChunk& chunk) { /* classify chunk.rows */ });
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <istream>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cell/cell_examples.h"
#include "cell/missing_values.h"
#include "cell/text_cache.h"
#include "chunk_parser.hpp"
#include "match/pattern_table.h"
#include "match/type_automaton.h"
#include "match/type_matcher.h"
#include "parser.hpp"
#include "pass/chunk_repeats.h"
#include "pass/match_memo.h"
#include "pass/pass_stats.h"
#include "pass/settled_chunk.h"
#include "pass/types_file.h"
#include "pass/worker_pool.h"

namespace quorvel {

class PassPipeline {
 public:
  struct Setup {
    Dialect dialect;
    std::size_t columns;  // fields kept per row
    // The calling thread and the workers; with 1, the calling thread alone
    // reads, tokenizes and consumes (counting and building only: resolving
    // gains nothing over the parser's rows then).
    unsigned threads;
    std::size_t chunkBytes;
    // The pattern table, whose matcher all threads share; without
    // matchSetTypes() the workers give no match sets. Building needs none:
    // null.
    const PatternTable* table;
    const MissingValues* missing;
    // Called on the calling thread now and then, also while it waits for the
    // workers; what it throws ends the pass.
    std::function<void()> poll;
  };

  using Consumer = std::function<void(const SettledChunk&)>;
  // Makes the product of a chunk, once per chunk buffer, on any thread.
  using ProductMaker = std::function<std::unique_ptr<ChunkProduct>()>;

  // One thread per core, the calling thread among them: what a pipeline
  // runs on unless told otherwise.
  static unsigned threadsByDefault() { return std::max(1u, std::thread::hardware_concurrency()); }

  // `unread` is what a CsvParser took from `input` past the header row.
  PassPipeline(std::istream& input, std::string_view unread, Setup setup, PassStats& stats);
  ~PassPipeline();

  // The two modes, of which a pass runs one. Each calls consume() for every
  // chunk in file order on the calling thread; see Failures for how it fails.
  //
  // Resolving: the workers give each kept field its hash and match set,
  // `link` numbers the texts of each round on the pool, and the consumer
  // applies the classification rule.
  void resolve(RoundLink& link, const Consumer& consume);
  // Counting, where a cell's type follows from its text alone: `typesOfText`
  // (PatternTable::typesOfTextMarking) answers each text's match set, missing
  // values marked, and the workers count each chunk by typeOfMatchSet() and,
  // with `writeLines`, write its lines of the types file; the consumer adds
  // them up. SettledChunk::facts is empty then.
  void count(const TypeAutomaton& typesOfText, bool writeLines, const Consumer& consume);
  // Building, one round per call: the workers build each chunk's product
  // (ChunkProduct::build), the calling thread builds a re-tokenized chunk's
  // again, and consume() gets the chunks settled in this step, in file
  // order, with SettledChunk::product; it must take what it keeps of a
  // product, which is built again for a later chunk. Returns false once
  // every chunk was consumed. After a throw the pipeline is spent.
  bool buildStep(const ProductMaker& make, const Consumer& consume);

  // After resolve() or count() returned: whether the input ended where a row
  // ends (ChunkTokenizer::ended_at_row_end()), whichever thread tokenized its
  // last chunk.
  bool endedAtRowEnd() const { return confirmed_.ended_at_row_end(); }

 private:
  struct Chunk;
  struct Round {
    std::vector<std::unique_ptr<Chunk>> chunks;
    std::size_t count = 0;      // chunks in use
    std::size_t confirmed = 0;  // of those, confirmed ahead of settling
  };
  struct Resolving {
    RoundLink& link;
  };
  // A chunk's bytes: reading overwrites them, so growing leaves them unset
  // rather than zeroing each chunk first.
  template <class T>
  struct UnsetAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
      using other = UnsetAllocator<U>;
    };
    template <class U>
    void construct(U* at) {
      ::new (static_cast<void*>(at)) U;
    }
  };
  using Bytes = std::vector<char, UnsetAllocator<char>>;
  struct Counting {
    const TypeAutomaton& typesOfText;
    bool writeLines;
    std::vector<TypeId> typeOfSet;  // by set id of typesOfText: typeOfMatchSet() of the set
  };
  struct Building {
    const ProductMaker& make;
  };

  template <class Mode>
  void run(const Mode& mode, const Consumer& consume);
  template <class Mode>
  bool step(const Mode& mode, const Consumer& consume);
  void readRound(Round& round);
  void readChunk(Chunk& chunk);
  bool takeInput(Bytes& bytes);
  template <class Mode>
  void tokenize(Chunk& chunk, unsigned thread, const Mode& mode);
  void describe(Chunk& chunk, unsigned thread, const Resolving&);
  void describe(Chunk& chunk, unsigned thread, const Counting& mode);
  void describe(Chunk& chunk, unsigned thread, const Building& mode);
  void startCounting(Chunk& chunk) const;
  bool wholeRowsAt(const std::vector<std::uint32_t>& widths, std::size_t row) const;
  void typeRowsSideBySide(Chunk& chunk, const Counting& mode, std::size_t row,
                          std::size_t field) const;
  void typeRow(Chunk& chunk, const Counting& mode, std::size_t row, std::size_t field) const;
  void countRow(Chunk& chunk, std::size_t row, std::size_t field) const;
  TypeId* rowTypesOf(Chunk& chunk, std::size_t row) const;
  std::uint64_t matchSet(std::string_view text, std::size_t hash, unsigned thread);
  std::uint64_t matchAnew(std::string_view text, std::size_t hash, unsigned thread);
  void poll();
  void noteFailure(std::uint64_t sequence);
  template <class Mode>
  void prepare(Round&, const Mode&) {}
  void prepare(Round& round, const Resolving& mode);
  void runLink(RoundLink& link, std::vector<ConfirmedChunk> chunks);
  template <class Mode>
  void confirm(Chunk& chunk, const Mode& mode);
  template <class Mode>
  void settle(Round& round, const Consumer& consume, const Mode& mode);

  std::istream& input_;
  Setup setup_;
  PassStats& stats_;
  std::string unread_;  // read by the parser of the header, past it
  std::size_t unreadStart_ = 0;
  Bytes leftOver_;           // read past the last cut
  bool inputEnded_ = false;  // the stream is used up
  bool lastRead_ = false;    // the chunk that ends the input is read
  std::size_t chunksPerRound_;
  Round rounds_[2];
  Round* inFlight_ = &rounds_[0];  // tokenized on the pool during a step
  Round* settling_ = &rounds_[1];  // settled meanwhile
  bool started_ = false;           // the first round is read
  ChunkTokenizer confirmed_;       // where the last consumed chunk ended
  // PatternTable::matchSetAutomaton(): no type to ask in turn where it is.
  const TypeAutomaton* wholeTable_;
  std::vector<ChunkRepeats> repeats_;  // per thread
  std::vector<MatchMemo> memos_;       // per thread
  std::atomic<bool> abandoned_{false};
  std::exception_ptr interrupted_;  // what poll() threw
  unsigned matchesSincePoll_ = 0;   // by the calling thread
  std::uint64_t chunksRead_ = 0;
  // The first chunk, in file order, whose matching failed and which is not
  // settled yet: chunks after it stop matching, since the pass likely fails
  // there, and what they leave unmatched is matched when they are settled.
  std::atomic<std::uint64_t> firstFailure_{kNoFailure};
  static constexpr std::uint64_t kNoFailure = ~std::uint64_t{0};
  WorkerPool pool_;  // last, so that it stops before what its workers use goes
};

}  // namespace quorvel
