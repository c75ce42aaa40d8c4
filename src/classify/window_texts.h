// The texts of a resolving pass's windows, numbered on the pool a round of
// chunks at a time: every field gets the number of its text in its window
// (FieldFacts::windowText), the same for every field of that text until the
// window ends, whichever chunk holds it. Step 2 of the rule then looks
// nothing up by text on the calling thread: what the window remembers for a
// text is the slot of its number (remembered()).
//
// Whether a text was met earlier in its window depends on the texts and the
// rows alone, never on the types, so it can be found before the rule runs.
// The texts go to kShards tables by the top bits of their hash; each task of
// a round owns a range of tables and walks the round's fields in file order,
// numbering those of its tables and emptying them where windows end. A text
// is copied into its table, so its chunk may go; only windows that go on
// past a chunk's end add texts to the tables, since only they meet another
// chunk's fields later. A window that begins and ends inside one chunk needs
// no table: one task numbers it whole, from 0.
//
// The link side (start(), run()) runs up to a round ahead of the rule side
// (remembered(), endWindow()): between passes, and when a pass has failed,
// caughtUp() says whether both are in the same window.
//
// Memory: the tables hold the distinct texts of one window, as the type
// cache does on one thread, and remembered() an int32_t per number up to the
// highest given so far (numbered()), kept from window to window. A window
// never emptied (window < 1) grows both with the distinct texts of the
// input, as it grows the cache.
//
//   WindowTexts texts;
//   texts.startPass(rowsToWindowEnd, window, threads);
//   pipeline.resolve(texts, consume);  // consume: texts.remembered(facts[f].windowText)
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "cell/text_cache.h"
#include "pass/settled_chunk.h"

namespace quorvel {

class WindowTexts : public RoundLink {
 public:
  static constexpr std::size_t kShards = 64;

  WindowTexts() : tables_(kShards), unlisted_(kShards, 0) {}

  // A pass starts after its header: `rowsToWindowEnd` rows until its window
  // ends, then one every `window` rows; its rounds are linked in `tasks`
  // tasks (at most kShards).
  void startPass(std::uint64_t rowsToWindowEnd, std::uint64_t window, unsigned tasks);

  // The link side (see RoundLink).
  std::size_t start(std::vector<ConfirmedChunk> chunks) override;
  void run(std::size_t task) override;

  // The rule side, on the calling thread. Before the fields of a linked
  // chunk: what the window remembers covers every number given so far, so
  // that remembered() needs no check per field.
  void coverLinked() {
    const std::uint64_t numbered = numbered_.load(std::memory_order_relaxed);
    if (remembered_.size() < numbered) remembered_.resize(numbered, CacheEntry::kUnclassified);
  }
  // What the window remembers for the text numbered `text`, a number of a
  // covered chunk or one number() gave (CacheEntry::kUnclassified at first).
  std::int32_t& remembered(std::uint32_t text) { return remembered_[text]; }
  // The window ends: it remembers nothing, and stays covered.
  void endWindow() {
    std::fill(remembered_.begin(), remembered_.end(), CacheEntry::kUnclassified);
    ++windowsRuled_;
  }
  // Above every number given since the object was made.
  std::uint64_t numbered() const { return numbered_.load(std::memory_order_relaxed); }

  // Between passes, on the calling thread. Whether the rule side has reached
  // the window the link side is in: otherwise a pass failed in an earlier
  // window, and the tables no longer hold its texts.
  bool caughtUp() const { return windowsRuled_ == windowsLinked_; }
  // Numbers `text`, whose hash is `hash`, in the window (carrying a cache in),
  // and covers the number.
  std::uint32_t number(std::string_view text, std::size_t hash);
  // Calls each(text, type) for every text the window remembers a type for.
  template <class Each>
  void forEachRemembered(const Each& each) const;
  // Forgets every text; release() also gives the memory back.
  void clear();
  void release();

  // Fields first of their text in their chunk that an earlier chunk of
  // their window had, since the object was made.
  std::uint64_t textsAcrossChunks() const { return textsAcrossChunks_.load(); }

 private:
  // Numbers pack the slot in a table and the table, into 32 bits.
  static constexpr unsigned kShardBits = 6;
  static_assert(std::size_t{1} << kShardBits == kShards, "kShardBits names kShards tables");
  static constexpr std::size_t kSlots = std::size_t{1} << (32 - kShardBits);

  using Table = TextTable<CacheEntry>;  // the entries go unused: remembered_ holds the types

  // How the texts new to a window are numbered in a chunk, by where the
  // window starts and ends against the chunk.
  enum class Numbering {
    kShared,    // it goes on past the chunk: its texts go in the tables, for later chunks
    kLookedUp,  // it began before the chunk and ends in it: looked up, never added
    kOwn,       // it begins and ends in the chunk: no other chunk meets its texts
  };

  // What one task of a round owns: a range of tables, and every tasks-th
  // window that begins and ends inside a chunk, whole.
  struct Task {
    std::size_t index;
    std::size_t firstShard;
    std::size_t endShard;
    std::uint64_t ownWindows = 0;   // met so far in the round, whoever owns them
    std::uint64_t ownNumbered = 0;  // above the numbers the task gave in them
  };

  // The fields of a chunk in one window, and the task that links them.
  struct Window {
    const ConfirmedChunk& chunk;
    std::uint32_t start;  // the chunk's first field in the window
    std::uint32_t end;
    Task& task;
  };

  static std::size_t shardOf(std::size_t hash) { return hash >> (64 - kShardBits); }
  static Numbering numberingOf(std::uint64_t rowsLeft, std::uint64_t toWindowEnd,
                               bool startedBefore);
  void linkChunk(const ConfirmedChunk& chunk, Task& task, std::uint64_t& toWindowEnd,
                 std::uint64_t& across);
  template <Numbering kNumbering>
  void linkFields(const Window& window, std::uint64_t& across);
  void linkOwnWindow(const Window& window);
  std::uint32_t numberOf(std::size_t shard, std::size_t slot);
  void raiseNumbered(std::size_t first, std::size_t end);
  void raiseNumberedTo(std::uint64_t above);
  void emptyTables(std::size_t first, std::size_t end);

  std::vector<Table> tables_;
  // By table: texts of the window numbered past the table's own, unlisted.
  std::vector<std::uint32_t> unlisted_;
  std::vector<std::int32_t> remembered_;  // by number
  std::uint64_t window_ = 0;
  unsigned tasks_ = 1;
  // The round being linked, and the rows until a window ends at its start.
  std::vector<ConfirmedChunk> round_;
  std::uint64_t roundToWindowEnd_ = 0;
  std::uint64_t toWindowEnd_ = 0;  // after the rounds started so far
  std::uint64_t windowsLinked_ = 0;
  std::uint64_t windowsRuled_ = 0;
  std::atomic<std::uint64_t> textsAcrossChunks_{0};
  // See numbered(); the tasks raise it as they end, before the rule side
  // covers their round.
  std::atomic<std::uint64_t> numbered_{0};
};

template <class Each>
void WindowTexts::forEachRemembered(const Each& each) const {
  for (std::size_t shard = 0; shard < kShards; ++shard) {
    const Table& table = tables_[shard];
    for (std::size_t slot = 0; slot < table.size(); ++slot) {
      const std::size_t text = slot * kShards + shard;
      if (text < remembered_.size() && remembered_[text] != CacheEntry::kUnclassified) {
        each(table.text(slot), remembered_[text]);
      }
    }
  }
}

}  // namespace quorvel
