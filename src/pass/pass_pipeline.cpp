// The multithreaded pass: reading and cutting on the calling thread,
// tokenizing and match sets on the pool, settling in file order.
#include "pass/pass_pipeline.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "cell/cell_rule.h"

namespace quorvel {

namespace {

// Chunks of a round per thread: enough that a slow chunk seldom leaves the
// other threads idle at the end of a round.
constexpr std::size_t kChunksPerThread = 3;

// Rows of a chunk whose texts are walked side by side in the counting mode:
// enough walks to fill the time each step waits on its load, few enough that
// their states stay in registers.
constexpr std::size_t kRowsSideBySide = 4;

// Fields ahead of the one looked up whose buckets are fetched.
constexpr std::size_t kLead = 4;

// The calling thread polls between this many texts it matches: often enough
// where matching is slow, and a clock read per text would cost more than
// most matches.
constexpr unsigned kMatchesPerPoll = 16;

// The type that counting gives each set of `typesOfText`, by set id: typeOfMatchSet() once per
// set rather than once per cell.
std::vector<TypeId> typesOfSets(const TypeAutomaton& typesOfText,
                                const std::vector<TypeId>& bitTypes) {
  std::vector<TypeId> types(typesOfText.setIdBound(), PatternTable::kOther);
  for (std::uint32_t id = 0; id < types.size(); id += typesOfText.words()) {
    types[id] = typeOfMatchSet(*typesOfText.setOf(id), bitTypes);
  }
  return types;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

struct PassPipeline::Chunk {
  explicit Chunk(const Setup& setup) : rows(setup.dialect, setup.columns) {}

  Bytes bytes;
  bool last = false;           // ends the input
  std::uint64_t sequence = 0;  // in file order
  ChunkTokenizer rows;
  std::vector<FieldFacts> facts;      // by kept field of the ended rows
  std::size_t unknownFields = 0;      // of facts, those without a match set
  std::vector<std::uint64_t> counts;  // counting: see SettledChunk
  std::string lines;
  ChunkExamples examples;
  std::vector<TypeId> rowTypes;           // counting: see rowTypesOf()
  std::unique_ptr<ChunkProduct> product;  // building
  std::exception_ptr error;               // what reading or tokenizing threw, raised in file order
  unsigned thread = 0;
};

PassPipeline::PassPipeline(std::istream& input, std::string_view unread, Setup setup,
                           PassStats& stats)
    : input_(input),
      setup_(std::move(setup)),
      stats_(stats),
      unread_(unread),
      chunksPerRound_(kChunksPerThread * setup_.threads),
      confirmed_(setup_.dialect, setup_.columns),
      wholeTable_(setup_.table != nullptr ? setup_.table->matchSetAutomaton() : nullptr),
      repeats_(setup_.threads),
      memos_(setup_.threads),
      pool_(setup_.threads - 1) {
  stats_ = PassStats();
  stats_.threads = setup_.threads;
}

PassPipeline::~PassPipeline() = default;

void PassPipeline::resolve(RoundLink& link, const Consumer& consume) {
  run(Resolving{link}, consume);
}

void PassPipeline::count(const TypeAutomaton& typesOfText, bool writeLines,
                         const Consumer& consume) {
  stats_.countedApart = true;
  run(Counting{typesOfText, writeLines, typesOfSets(typesOfText, setup_.table->matchSetTypes())},
      consume);
}

bool PassPipeline::buildStep(const ProductMaker& make, const Consumer& consume) {
  return step(Building{make}, consume);
}

template <class Mode>
void PassPipeline::run(const Mode& mode, const Consumer& consume) {
  while (step(mode, consume)) {
  }
}

// One round is tokenized while the calling thread settles the round before
// and reads the next, then helps to finish the round in flight. Returns
// false once the round in flight was empty: every chunk is settled.
template <class Mode>
bool PassPipeline::step(const Mode& mode, const Consumer& consume) {
  try {
    if (!started_) readRound(*inFlight_);
    started_ = true;
    Round* inFlight = inFlight_;
    prepare(*settling_, mode);
    pool_.start(
        inFlight->count,
        [this, inFlight, &mode](std::size_t i, unsigned thread) {
          tokenize(*inFlight->chunks[i], thread, mode);
        },
        1);
    settle(*settling_, consume, mode);
    readRound(*settling_);
    pool_.wait([this] { poll(); });
    if (interrupted_) std::rethrow_exception(interrupted_);
    if (inFlight->count == 0) return false;
    std::swap(inFlight_, settling_);
    return true;
  } catch (...) {
    // The round in flight is of no use any more: its workers stop at once.
    abandoned_ = true;
    pool_.wait();
    throw;
  }
}

// A read that fails ends the input at the chunk it was filling, which keeps
// the failure as its error: it is raised when that chunk is settled, after the
// chunks before it, as a single-threaded pass raises it after the rows before.
void PassPipeline::readRound(Round& round) {
  const auto start = std::chrono::steady_clock::now();
  round.count = 0;
  while (round.count < chunksPerRound_ && !lastRead_) {
    if (round.count == round.chunks.size()) round.chunks.push_back(std::make_unique<Chunk>(setup_));
    Chunk& chunk = *round.chunks[round.count];
    try {
      readChunk(chunk);
    } catch (...) {
      chunk.error = std::current_exception();
      chunk.last = lastRead_ = true;
    }
    ++round.count;
  }
  stats_.readSeconds += secondsSince(start);
}

// The next chunk: the bytes left over from the last cut, then pieces of the
// input up to a guessed row end, or to the end of the input.
void PassPipeline::readChunk(Chunk& chunk) {
  chunk.bytes.swap(leftOver_);
  clear_dropping_huge_capacity(leftOver_);
  chunk.error = nullptr;
  chunk.last = false;
  chunk.sequence = chunksRead_++;
  for (;;) {
    // The bytes before this piece hold no row end, save perhaps a CR at their
    // end: scanning only the new piece keeps one long row linear.
    const std::size_t scanned = chunk.bytes.empty() ? 0 : chunk.bytes.size() - 1;
    if (!takeInput(chunk.bytes)) {
      chunk.last = lastRead_ = true;
      return;
    }
    std::size_t cut =
        guess_rows_end(setup_.dialect, chunk.bytes.data() + scanned, chunk.bytes.size() - scanned);
    if (cut > 0) {
      cut += scanned;
      leftOver_.assign(chunk.bytes.begin() + static_cast<std::ptrdiff_t>(cut), chunk.bytes.end());
      chunk.bytes.resize(cut);
      return;
    }
  }
}

// Appends up to a chunk's worth of the input: what the parser of the header
// had read past it first, then the stream. False at the end of the input.
bool PassPipeline::takeInput(Bytes& bytes) {
  if (unreadStart_ < unread_.size()) {
    const std::size_t size = std::min(setup_.chunkBytes, unread_.size() - unreadStart_);
    const char* start = unread_.data() + unreadStart_;
    bytes.insert(bytes.end(), start, start + size);
    unreadStart_ += size;
    return true;
  }
  if (inputEnded_) return false;
  const std::size_t before = bytes.size();
  bytes.resize(before + setup_.chunkBytes);
  const std::size_t delivered =
      csv_detail::read_block(input_, bytes.data() + before, setup_.chunkBytes);
  bytes.resize(before + delivered);
  inputEnded_ = input_.eof();
  return delivered > 0 || !inputEnded_;
}

template <class Mode>
void PassPipeline::tokenize(Chunk& chunk, unsigned thread, const Mode& mode) {
  if (chunk.error || abandoned_.load(std::memory_order_relaxed)) return;
  chunk.thread = thread;
  try {
    chunk.rows.reset();
    chunk.rows.feed(chunk.bytes.data(), chunk.bytes.size());
    if (chunk.last) chunk.rows.finish();
    describe(chunk, thread, mode);
  } catch (...) {
    chunk.error = std::current_exception();
  }
}

// After a text whose matching failed, the chunk's later texts are not
// matched: the consumer matches them in file order, where it fails exactly
// when a single-threaded pass would, and no time goes into texts after it.
// Every field still learns the last earlier field of the chunk with its text:
// a repeat within a window is a cache hit that the consumer answers without
// the cache, and a field without one is the chunk's first of its text. A
// repeat takes its match set from that field, so each text of the chunk is
// matched once.
void PassPipeline::describe(Chunk& chunk, unsigned thread, const Resolving&) {
  const std::size_t fields = chunk.rows.fields();
  chunk.facts.resize(fields);
  chunk.unknownFields = 0;
  for (std::size_t f = 0; f < fields; ++f) {
    chunk.facts[f] = FieldFacts{TextCache::hashOf(chunk.rows.text(f)), MatchSet::kUnknown};
  }
  ChunkRepeats& repeats = repeats_[thread];
  repeats.startChunk(fields);
  const auto textOf = [&chunk](std::uint32_t f) { return chunk.rows.text(f); };
  bool matching = !setup_.table->matchSetTypes().empty();
  for (std::size_t f = 0; f < fields; ++f) {
    if (abandoned_.load(std::memory_order_relaxed)) return;
    if (f + kLead < fields) repeats.prefetch(chunk.facts[f + kLead].hash);
    FieldFacts& facts = chunk.facts[f];
    const std::string_view text = chunk.rows.text(f);
    facts.previous = repeats.lastSeen(static_cast<std::uint32_t>(f), facts.hash, text, textOf);
    if (matching && chunk.sequence > firstFailure_.load(std::memory_order_relaxed)) {
      matching = false;
    }
    if (facts.previous != FieldFacts::kFirst) {
      facts.matches = chunk.facts[facts.previous].matches;
    } else if (matching) {
      facts.matches = matchSet(text, facts.hash, thread);
      if (facts.matches == MatchSet::kUnknown) {
        noteFailure(chunk.sequence);
        matching = false;
      }
    }
    chunk.unknownFields += facts.matches == MatchSet::kUnknown;
  }
}

void PassPipeline::describe(Chunk& chunk, unsigned, const Building& mode) {
  if (!chunk.product) chunk.product = mode.make();
  chunk.product->build(chunk.rows);
}

// The match sets come from the automaton, where no match can fail and which
// marks missing values itself, so nothing hashes a text; a row is counted as
// soon as its types are known, and no field's facts are kept for the
// consumer. Whole rows go kRowsSideBySide at a time; a short or long row
// among them, and the last few, one by one.
void PassPipeline::describe(Chunk& chunk, unsigned, const Counting& mode) {
  startCounting(chunk);
  const std::vector<std::uint32_t>& widths = chunk.rows.widths();
  std::size_t field = 0;
  for (std::size_t row = 0; row < widths.size();) {
    const std::size_t rows = wholeRowsAt(widths, row) ? kRowsSideBySide : 1;
    if (rows == kRowsSideBySide) {
      typeRowsSideBySide(chunk, mode, row, field);
    } else {
      typeRow(chunk, mode, row, field);
    }
    for (const std::size_t end = row + rows; row < end; ++row) {
      countRow(chunk, row, field);
      if (mode.writeLines) {
        appendTypesLine(chunk.lines, rowTypesOf(chunk, row), widths[row], setup_.table->names());
      }
      field += widths[row];
    }
  }
}

// The text's match set, MatchSet::kMissing for a missing value, or
// MatchSet::kUnknown when matching failed. Where the whole table is on the
// automaton, walking it costs less than probing and filling the memo.
std::uint64_t PassPipeline::matchSet(std::string_view text, std::size_t hash, unsigned thread) {
  if (wholeTable_ != nullptr) return matchAnew(text, hash, thread);
  MatchMemo& memo = memos_[thread];
  if (const std::uint64_t* known = memo.find(text, hash)) return *known;
  const std::uint64_t matches = matchAnew(text, hash, thread);
  if (matches != MatchSet::kUnknown) memo.keep(text, hash, matches);
  return matches;
}

std::uint64_t PassPipeline::matchAnew(std::string_view text, std::size_t hash, unsigned thread) {
  if (thread == 0 && ++matchesSincePoll_ % kMatchesPerPoll == 0) poll();
  return matchSetOfCell(setup_.missing->contains(text, hash), [&] {
    if (wholeTable_ != nullptr) return *wholeTable_->matches(text);
    const PatternTable& table = *setup_.table;
    try {
      return table.matcher().matchSet(table.matchSetTypes(), text);
    } catch (...) {
      // Not lost: the consumer matches this text again and meets the failure
      // itself if its trial order gets that far.
      return MatchSet::kUnknown;
    }
  });
}

// What the poll throws cannot leave through a task, whose failures belong
// to its chunk: it abandons the round, and run() raises it once the workers
// have stopped.
void PassPipeline::poll() {
  if (!setup_.poll || interrupted_) return;
  try {
    setup_.poll();
  } catch (...) {
    interrupted_ = std::current_exception();
    abandoned_ = true;
  }
}

void PassPipeline::noteFailure(std::uint64_t sequence) {
  std::uint64_t first = firstFailure_.load();
  while (sequence < first && !firstFailure_.compare_exchange_weak(first, sequence)) {
  }
}

void PassPipeline::startCounting(Chunk& chunk) const {
  chunk.facts.clear();
  chunk.unknownFields = 0;
  chunk.counts.assign(setup_.columns * setup_.table->names().size(), 0);
  chunk.lines.clear();
  chunk.examples.clear();
  chunk.rowTypes.resize(kRowsSideBySide * setup_.columns);
}

// Whether the kRowsSideBySide rows from `row` on all hold every column.
bool PassPipeline::wholeRowsAt(const std::vector<std::uint32_t>& widths, std::size_t row) const {
  if (row + kRowsSideBySide > widths.size()) return false;
  for (std::size_t r = row; r < row + kRowsSideBySide; ++r) {
    if (widths[r] != setup_.columns) return false;
  }
  return true;
}

// Column by column: the texts of a column in nearby rows have close lengths,
// so their walks end nearly together.
void PassPipeline::typeRowsSideBySide(Chunk& chunk, const Counting& mode, std::size_t row,
                                      std::size_t field) const {
  const std::size_t columns = setup_.columns;
  TypeId* types[kRowsSideBySide];
  for (std::size_t r = 0; r < kRowsSideBySide; ++r) types[r] = rowTypesOf(chunk, row + r);
  for (std::size_t c = 0; c < columns; ++c) {
    std::string_view texts[kRowsSideBySide];
    for (std::size_t r = 0; r < kRowsSideBySide; ++r) {
      texts[r] = chunk.rows.text(field + r * columns + c);
    }
    std::uint32_t sets[kRowsSideBySide];
    mode.typesOfText.setIdsEach(texts, sets);
    for (std::size_t r = 0; r < kRowsSideBySide; ++r) types[r][c] = mode.typeOfSet[sets[r]];
  }
}

void PassPipeline::typeRow(Chunk& chunk, const Counting& mode, std::size_t row,
                           std::size_t field) const {
  TypeId* types = rowTypesOf(chunk, row);
  for (std::size_t c = 0, width = chunk.rows.widths()[row]; c < width; ++c) {
    types[c] = mode.typeOfSet[mode.typesOfText.setIdOf(chunk.rows.text(field + c))];
  }
}

// Row by row, since the cells of a row go to different counts: counting a
// column's cells one after another, each increment would wait on the one
// before. Where a count is still small, notes where the cell is, for the
// consumer to keep the first ones as examples.
void PassPipeline::countRow(Chunk& chunk, std::size_t row, std::size_t field) const {
  const TypeId* types = rowTypesOf(chunk, row);
  const std::size_t typeCount = setup_.table->names().size();
  std::uint64_t* counts = chunk.counts.data();
  for (std::size_t c = 0, width = chunk.rows.widths()[row]; c < width; ++c) {
    if (++counts[c * typeCount + types[c]] <= ColumnExamples::kKept) {
      chunk.examples.note(field + c, row, c, types[c]);
    }
  }
}

// Where the types of the row go until its line is written: the rows walked
// side by side take turns in Chunk::rowTypes.
TypeId* PassPipeline::rowTypesOf(Chunk& chunk, std::size_t row) const {
  return &chunk.rowTypes[row % kRowsSideBySide * setup_.columns];
}

// The round's chunks are confirmed up to the first that failed, whose failure
// settle() raises after the chunks before it, and linked with every thread
// of the pool, before the next round takes the pool.
void PassPipeline::prepare(Round& round, const Resolving& mode) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<ConfirmedChunk> chunks;
  for (; round.confirmed < round.count; ++round.confirmed) {
    Chunk& chunk = *round.chunks[round.confirmed];
    if (chunk.error) break;
    confirm(chunk, mode);
    chunks.push_back(ConfirmedChunk{chunk.rows, chunk.facts});
  }
  stats_.settleSeconds += secondsSince(start);
  const auto linking = std::chrono::steady_clock::now();
  runLink(mode.link, std::move(chunks));
  stats_.linkSeconds += secondsSince(linking);
}

// A task cannot throw through the pool: each keeps its failure apart, and the
// first is raised once every task has ended.
void PassPipeline::runLink(RoundLink& link, std::vector<ConfirmedChunk> chunks) {
  const std::size_t tasks = link.start(std::move(chunks));
  std::vector<std::exception_ptr> failures(tasks);
  pool_.start(
      tasks,
      [&](std::size_t task, unsigned) {
        try {
          link.run(task);
        } catch (...) {
          failures[task] = std::current_exception();
        }
      },
      1);
  pool_.wait([this] { poll(); });
  if (interrupted_) std::rethrow_exception(interrupted_);
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

// In file order: raises the chunk's failure, or tokenizes it again where its
// cut fell inside quotes, and takes over the row left open at its end.
template <class Mode>
void PassPipeline::confirm(Chunk& chunk, const Mode& mode) {
  if (chunk.error) std::rethrow_exception(chunk.error);
  if (!confirm_chunk(confirmed_, chunk.rows, chunk.bytes.data(), chunk.bytes.size(), chunk.last)) {
    ++stats_.reparsed;
    describe(chunk, 0, mode);
  }
  confirmed_.continue_from(chunk.rows);
}

template <class Mode>
void PassPipeline::settle(Round& round, const Consumer& consume, const Mode& mode) {
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < round.count; ++i) {
    Chunk& chunk = *round.chunks[i];
    if (i >= round.confirmed) confirm(chunk, mode);
    stats_.unknownFields += chunk.unknownFields;
    stats_.workerChunks += chunk.thread != 0;
    ++stats_.chunks;
    consume(SettledChunk{chunk.rows, chunk.facts, chunk.counts, chunk.lines, chunk.examples,
                         chunk.product.get()});
    // The pass went on past the failure: later chunks match again.
    std::uint64_t failed = chunk.sequence;
    firstFailure_.compare_exchange_strong(failed, kNoFailure);
  }
  round.count = round.confirmed = 0;
  stats_.settleSeconds += secondsSince(start);
}

}  // namespace quorvel
