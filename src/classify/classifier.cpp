// The classification rule and the loops that apply it, in one translation
// unit so that the rule inlines into them.
#include "classify/classifier.h"

#include <malloc.h>

#include <algorithm>
#include <limits>

#include "match/type_matcher.h"
#include "pass/pass_clock.h"
#include "pass/settled_chunk.h"
#include "pass/types_file.h"

namespace quorvel {

namespace {

constexpr TypeId kOther = PatternTable::kOther;

// Cache slots are prefetched this many cells ahead of their lookups: by then
// their buckets have arrived, and the cells classified meanwhile hide the wait.
constexpr std::size_t kSlotLead = 4;

}  // namespace

Classifier::Classifier(const PatternTable& table, std::unordered_set<std::string> missing)
    : table_(table), missing_(std::move(missing)), columnTables_(table) {}

void Classifier::emptyCache() {
  cache_.clear();
  windowTexts_.clear();
  memory_ = Memory::kCache;
}

void Classifier::releaseCache() {
  cache_.release();
  windowTexts_.release();
  memory_ = Memory::kCache;
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

// The rule with the cache, counted; firstMatch gives the position of the
// first type of the trial order that matches.
template <class FirstMatch>
TypeId Classifier::classifyCell(std::string_view text, std::size_t hash, bool missing,
                                ColumnTables& column, const FirstMatch& firstMatch) {
  const auto names = [this]() -> const std::vector<std::string>& { return table_.names(); };
  return countCell(column,
                   typeOfCell(missing, cache_, text, hash, column.regexOrdering, firstMatch, names),
                   [text] { return text; });
}

// The automaton's answer is the text's match set where every type is on it.
int Classifier::firstMatch(const std::vector<TypeId>& order, std::string_view text) const {
  if (matchSetAutomaton_ != nullptr) {
    return table_.firstMatch(order, *matchSetAutomaton_->matches(text), text);
  }
  return table_.matcher().firstMatch(order, text);
}

void Classifier::classifyField(const std::vector<std::string>& fields, int c,
                               std::vector<std::string>& types) {
  rememberInCache();
  ColumnTables& column = columnTables_.of(columns_.at(c));
  const std::vector<std::string>& names = table_.names();
  types.at(c) = names[kOther];
  const std::string& text = fields.at(c);
  const std::size_t hash = TextCache::hashOf(text);
  types[c] = names[classifyCell(
      text, hash, missing_.contains(text, hash), column,
      [&](const std::vector<TypeId>& order) { return table_.matcher().firstMatch(order, text); })];
}

// ---- Rows ------------------------------------------------------------------

void Classifier::startRows(int window) {
  rows_ = 0;
  ragged_ = RaggedRows();
  window_ =
      window >= 1 ? static_cast<std::uint64_t>(window) : std::numeric_limits<std::uint64_t>::max();
  rowsToWindowEnd_ = window_;
}

void Classifier::startColumns(std::vector<std::string> names, TypesFile& typesFile) {
  const std::size_t width = names.size();
  columns_ = std::move(names);
  rowColumns_.assign(width, nullptr);
  rowTypes_.assign(width, kOther);
  rowHashes_.assign(width, 0);
  matchSetAutomaton_ = table_.matchSetAutomaton();
  for (std::size_t c = 0; c < width; ++c) rowColumns_[c] = &columnTables_.start(columns_[c]);
  typesFile.writeNames(columns_);
}

void Classifier::finishRow(PassClock& clock) {
  ++rows_;
  if (--rowsToWindowEnd_ == 0) {
    rowsToWindowEnd_ = window_;
    endWindow();
  }
  clock.rowDone();
}

void Classifier::endWindow() {
  if (memory_ == Memory::kCache) {
    cache_.clear();
  } else {
    windowTexts_.endWindow();
  }
}

void Classifier::finishRows(std::uint64_t rows) {
  const std::uint64_t before = rows_;
  rows_ += rows;
  rowsToWindowEnd_ = window_ - rows_ % window_;
  if (rows_ / window_ != before / window_) emptyCache();
}

void Classifier::classifyRow(const std::vector<std::string>& row, TypesFile& typesFile,
                             PassClock& clock) {
  rememberInCache();
  const std::size_t width = std::min(row.size(), columns_.size());
  ragged_.note(row.size(), columns_.size());
  hashRow(row, width);
  for (std::size_t c = 0; c < width; ++c) {
    prefetchSlotAhead(c, width);
    const std::string& text = row[c];
    rowTypes_[c] =
        classifyCell(text, rowHashes_[c], missing_.contains(text, rowHashes_[c]), *rowColumns_[c],
                     [&](const std::vector<TypeId>& order) { return firstMatch(order, text); });
  }
  writeRowTypes(width, typesFile);
  finishRow(clock);
}

// Rows one by one remember in the cache: what a resolving pass left in the
// numbered texts moves there, unless the pass failed in an earlier window
// than its link had reached, which leaves nothing to trust of its last one.
void Classifier::rememberInCache() {
  if (memory_ == Memory::kCache) return;
  if (windowTexts_.caughtUp()) {
    windowTexts_.forEachRemembered([this](std::string_view text, std::int32_t type) {
      cache_.entry(cache_.findOrInsert(text)).type = type;
    });
  }
  windowTexts_.clear();
  memory_ = Memory::kCache;
}

// The cache's texts move to the numbered texts, in the window the pass
// starts in; a failed resolving pass left nothing to trust there.
RoundLink& Classifier::startResolving(unsigned threads) {
  if (memory_ == Memory::kCache) {
    for (std::size_t i = 0; i < cache_.size(); ++i) {
      const std::int32_t type = cache_.entry(i).type;
      if (type == CacheEntry::kUnclassified) continue;
      const std::string_view text = cache_.text(i);
      windowTexts_.remembered(windowTexts_.number(text, TextCache::hashOf(text))) = type;
    }
    cache_.clear();
    memory_ = Memory::kWindowTexts;
  } else if (!windowTexts_.caughtUp()) {
    windowTexts_.clear();
  }
  windowTexts_.startPass(rowsToWindowEnd_, window_, threads);
  return windowTexts_;
}

// Hashes the row's texts and brings their cache buckets closer, so that the
// lookups that follow do not wait for memory one after another.
void Classifier::hashRow(const std::vector<std::string>& row, std::size_t width) {
  for (std::size_t c = 0; c < width; ++c) {
    rowHashes_[c] = TextCache::hashOf(row[c]);
    cache_.prefetchBucket(rowHashes_[c]);
  }
  for (std::size_t c = 0; c < std::min(width, kSlotLead); ++c) cache_.prefetchSlot(rowHashes_[c]);
}

void Classifier::prefetchSlotAhead(std::size_t c, std::size_t width) {
  if (c + kSlotLead < width) cache_.prefetchSlot(rowHashes_[c + kSlotLead]);
}

// The rule as classifyRow() applies it, but what the window remembers for
// each text is the slot of its number, which the round's link found: no
// text is hashed or looked up here.
void Classifier::classifyChunk(const SettledChunk& chunk, TypesFile& typesFile, PassClock& clock) {
  const std::vector<FieldFacts>& facts = chunk.facts;
  const std::vector<std::uint32_t>& widths = chunk.rows.widths();
  const auto names = [this]() -> const std::vector<std::string>& { return table_.names(); };
  windowTexts_.coverLinked();
  for (ColumnTables* column : rowColumns_) table_.bitsOf(column->regexOrdering, column->orderBits);
  std::size_t f = 0;
  for (const std::uint32_t width : widths) {
    for (std::size_t c = 0; c < width; ++c, ++f) {
      const FieldFacts& field = facts[f];
      ColumnTables& column = *rowColumns_[c];
      // Most cells need no text: the match set and the number answer them.
      const auto text = [&] { return chunk.rows.text(f); };
      const auto firstMatchOfSet = [&](const std::vector<TypeId>& order) {
        const int position = (field.matches & MatchSet::kUnknown) != 0
                                 ? table_.firstMatch(order, field.matches, text())
                                 : PatternTable::firstMatchOfBits(column.orderBits, field.matches);
        swapToFront(column.orderBits, position);  // as the rule moves the order next
        return position;
      };
      const TypeId type = typeOfCell(isMissing(missing_, text, field.hash, field.matches),
                                     windowTexts_.remembered(field.windowText),
                                     column.regexOrdering, firstMatchOfSet, names);
      rowTypes_[c] = countCell(column, type, text);
    }
    writeRowTypes(width, typesFile);
    finishRow(clock);
  }
  ragged_.add(chunk.rows.short_rows(), chunk.rows.long_rows());
}

void Classifier::addChunkCounts(const SettledChunk& chunk, TypesFile& typesFile) {
  const std::size_t typeCount = table_.names().size();
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    for (std::size_t type = 0; type < typeCount; ++type) {
      const std::uint64_t times = chunk.counts[c * typeCount + type];
      if (times != 0) rowColumns_[c]->count(static_cast<TypeId>(type), times);
    }
  }
  keepExamples(chunk);
  ragged_.add(chunk.rows.short_rows(), chunk.rows.long_rows());
  typesFile.write(chunk.lines);
  finishRows(chunk.rows.widths().size());
}

// The cells the workers noted, in file order; before finishRows(), rows_ is
// the number of the chunk's first row.
void Classifier::keepExamples(const SettledChunk& chunk) {
  for (const ChunkExamples::At& at : chunk.examples.at()) {
    rowColumns_[at.column]->examples.keep(at.type, chunk.rows.text(at.field), rows_ + at.row);
  }
}

void Classifier::writeRowTypes(std::size_t width, TypesFile& typesFile) {
  if (!typesFile.enabled()) return;
  line_.clear();
  appendTypesLine(line_, rowTypes_.data(), width, table_.names());
  typesFile.write(line_);
}

}  // namespace quorvel
