// What the pipeline hands its consumer: a chunk in file order, with what the
// tokenizing thread learnt of each of its fields. Apart from the pipeline, so
// that a consumer sees the chunk without the machinery that makes it.
//
//   pipeline.resolve([&](const SettledChunk& chunk) { /* chunk.rows, chunk.facts */ });
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cell/cell_examples.h"
#include "chunk_parser.hpp"
#include "pass/chunk_repeats.h"

namespace quorvel {

// What the tokenizing thread learnt of one kept field of a chunk.
struct FieldFacts {
  static constexpr std::uint32_t kFirst = ChunkRepeats::kFirst;
  std::size_t hash;  // TextCache::hashOf(text)
  // The text's MatchSet over the table's matchSetTypes(); resolving, a
  // missing value's is MatchSet::kMissing alone.
  std::uint64_t matches;
  // Resolving: the last earlier field of the chunk with the same text, or
  // kFirst when there is none.
  std::uint32_t previous = kFirst;
  // Resolving, once the chunk's round is linked (RoundLink): the number of
  // the text in its window, the same for every field of that text until the
  // window ends.
  std::uint32_t windowText = 0;
};

// What a chunk's rows become on the thread that tokenized them, when the
// pipeline builds: a loader's typed columns, say. A chunk buffer keeps its
// product from chunk to chunk, so build() starts afresh every time.
class ChunkProduct {
 public:
  virtual ~ChunkProduct() = default;
  // On a worker, or on the calling thread for a chunk tokenized again; what
  // it throws is the chunk's failure. `rows` (and their texts) are valid
  // only during the call.
  virtual void build(const ChunkTokenizer& rows) = 0;
};

// A chunk of a round, confirmed and not yet consumed, as a RoundLink sees it.
struct ConfirmedChunk {
  const ChunkTokenizer& rows;
  std::vector<FieldFacts>& facts;  // by kept field of its rows
};

// Work on a resolving pass's round of chunks that must follow their
// confirming (the rows of each are final) and precede their consuming, in
// tasks that every thread of the pool runs side by side.
class RoundLink {
 public:
  virtual ~RoundLink() = default;
  // On the calling thread: the round's chunks in file order, after those of
  // the rounds before. Returns the number of tasks to run.
  virtual std::size_t start(std::vector<ConfirmedChunk> chunks) = 0;
  // Runs one task of the round on any thread; what it throws ends the pass
  // before any chunk of the round is consumed.
  virtual void run(std::size_t task) = 0;
};

// A chunk in file order, as the consumer gets it.
struct SettledChunk {
  const ChunkTokenizer& rows;
  const std::vector<FieldFacts>& facts;  // by kept field of its rows; none when counting
  // In the counting mode: by column * the table's names().size() + type id,
  // the chunk's lines of the types file when they are written, and where its
  // first cells of each column and type are.
  const std::vector<std::uint64_t>& counts;
  const std::string& lines;
  const ChunkExamples& examples;
  ChunkProduct* product = nullptr;  // building: the chunk's, built
};

}  // namespace quorvel
