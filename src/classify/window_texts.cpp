// Numbering the texts of a round's windows, a range of tables per task.
#include "classify/window_texts.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace quorvel {

void WindowTexts::startPass(std::uint64_t rowsToWindowEnd, std::uint64_t window, unsigned tasks) {
  toWindowEnd_ = rowsToWindowEnd;
  window_ = window;
  tasks_ = std::min<unsigned>(std::max(tasks, 1u), kShards);
}

// The tasks start from where the round starts; the rounds after it, from
// where it ends.
std::size_t WindowTexts::start(std::vector<ConfirmedChunk> chunks) {
  round_ = std::move(chunks);
  roundToWindowEnd_ = toWindowEnd_;
  std::uint64_t rows = 0;
  for (const ConfirmedChunk& chunk : round_) rows += chunk.rows.widths().size();
  if (rows >= toWindowEnd_) {
    rows -= toWindowEnd_;
    windowsLinked_ += 1 + rows / window_;
    toWindowEnd_ = window_ - rows % window_;
  } else {
    toWindowEnd_ -= rows;
  }
  return tasks_;
}

void WindowTexts::run(std::size_t task) {
  Task owned{task, task * kShards / tasks_, (task + 1) * kShards / tasks_};
  std::uint64_t toWindowEnd = roundToWindowEnd_;
  std::uint64_t across = 0;
  for (const ConfirmedChunk& chunk : round_) linkChunk(chunk, owned, toWindowEnd, across);
  raiseNumbered(owned.firstShard, owned.endShard);
  raiseNumberedTo(owned.ownNumbered);
  textsAcrossChunks_.fetch_add(across, std::memory_order_relaxed);
}

// The chunk's rows go window by window: where a window ends, the tables
// empty and the next window's fields start.
void WindowTexts::linkChunk(const ConfirmedChunk& chunk, Task& task, std::uint64_t& toWindowEnd,
                            std::uint64_t& across) {
  const std::vector<std::uint32_t>& widths = chunk.rows.widths();
  Window window{chunk, 0, 0, task};
  for (std::size_t row = 0; row < widths.size();) {
    const std::uint64_t rowsLeft = widths.size() - row;
    const std::size_t rows = static_cast<std::size_t>(std::min(rowsLeft, toWindowEnd));
    for (const std::size_t last = row + rows; row < last; ++row) window.end += widths[row];
    switch (numberingOf(rowsLeft, toWindowEnd, window.start == 0)) {
      case Numbering::kShared:
        linkFields<Numbering::kShared>(window, across);
        break;
      case Numbering::kLookedUp:
        linkFields<Numbering::kLookedUp>(window, across);
        break;
      case Numbering::kOwn:
        if (task.ownWindows++ % tasks_ == task.index) linkOwnWindow(window);
        break;
    }
    toWindowEnd -= rows;
    if (toWindowEnd == 0) {
      toWindowEnd = window_;
      emptyTables(task.firstShard, task.endShard);
    }
    window.start = window.end;
  }
}

WindowTexts::Numbering WindowTexts::numberingOf(std::uint64_t rowsLeft, std::uint64_t toWindowEnd,
                                                bool startedBefore) {
  if (rowsLeft < toWindowEnd) return Numbering::kShared;
  return startedBefore ? Numbering::kLookedUp : Numbering::kOwn;
}

// A field whose text an earlier field of the chunk had in the same window
// takes that field's number, and needs no table: the chunk's repeats came
// with its tokens. The fields of other tasks' tables are passed by.
template <WindowTexts::Numbering kNumbering>
void WindowTexts::linkFields(const Window& window, std::uint64_t& across) {
  const std::size_t firstShard = window.task.firstShard;
  const std::size_t shards = window.task.endShard - firstShard;
  for (std::uint32_t f = window.start; f < window.end; ++f) {
    FieldFacts& field = window.chunk.facts[f];
    const std::size_t shard = shardOf(field.hash);
    if (shard - firstShard >= shards) continue;
    if (field.previous != FieldFacts::kFirst && field.previous >= window.start) {
      field.windowText = window.chunk.facts[field.previous].windowText;
      continue;
    }
    Table& table = tables_[shard];
    std::size_t slot = TextCache::kAbsent;
    if constexpr (kNumbering == Numbering::kShared) {
      const std::size_t known = table.size();
      slot = table.findOrInsert(window.chunk.rows.text(f), field.hash);
      across += field.previous == FieldFacts::kFirst && slot < known;
    } else if constexpr (kNumbering == Numbering::kLookedUp) {
      slot = table.find(window.chunk.rows.text(f), field.hash);
      across += field.previous == FieldFacts::kFirst && slot != TextCache::kAbsent;
    }
    field.windowText = numberOf(shard, slot);
  }
}

// No other chunk meets the texts of a window inside one chunk, nor any
// table: one task numbers them from 0 in the order they come, its fields
// alone, so that the threads neither write the same lines nor pass each
// other's fields by. The window's end forgets the numbers on the rule side.
void WindowTexts::linkOwnWindow(const Window& window) {
  std::uint32_t next = 0;
  for (std::uint32_t f = window.start; f < window.end; ++f) {
    FieldFacts& field = window.chunk.facts[f];
    const bool repeat = field.previous != FieldFacts::kFirst && field.previous >= window.start;
    field.windowText = repeat ? window.chunk.facts[field.previous].windowText : next++;
  }
  window.task.ownNumbered = std::max<std::uint64_t>(window.task.ownNumbered, next);
}

// A text new to the window and never seen by another chunk (kAbsent) takes
// the next number past the table's.
std::uint32_t WindowTexts::numberOf(std::size_t shard, std::size_t slot) {
  if (slot == TextCache::kAbsent) slot = tables_[shard].size() + unlisted_[shard]++;
  if (slot >= kSlots) throw std::length_error("a window holds too many distinct texts to number");
  return static_cast<std::uint32_t>(slot * kShards + shard);
}

std::uint32_t WindowTexts::number(std::string_view text, std::size_t hash) {
  const std::size_t shard = shardOf(hash);
  const std::uint32_t numbered = numberOf(shard, tables_[shard].findOrInsert(text, hash));
  raiseNumbered(shard, shard + 1);
  coverLinked();
  return numbered;
}

// A table's numbers so far are below its count of texts times kShards.
void WindowTexts::raiseNumbered(std::size_t first, std::size_t end) {
  std::uint64_t above = 0;
  for (std::size_t shard = first; shard < end; ++shard) {
    above = std::max<std::uint64_t>(above, (tables_[shard].size() + unlisted_[shard]) * kShards);
  }
  raiseNumberedTo(above);
}

void WindowTexts::raiseNumberedTo(std::uint64_t above) {
  std::uint64_t seen = numbered_.load(std::memory_order_relaxed);
  while (seen < above && !numbered_.compare_exchange_weak(seen, above, std::memory_order_relaxed)) {
  }
}

void WindowTexts::emptyTables(std::size_t first, std::size_t end) {
  raiseNumbered(first, end);
  for (std::size_t shard = first; shard < end; ++shard) {
    tables_[shard].clear();
    unlisted_[shard] = 0;
  }
}

void WindowTexts::clear() {
  emptyTables(0, kShards);
  remembered_.clear();
  windowsRuled_ = windowsLinked_;
}

void WindowTexts::release() {
  for (Table& table : tables_) table.release();
  decltype(remembered_)().swap(remembered_);
  windowsRuled_ = windowsLinked_;
}

}  // namespace quorvel
