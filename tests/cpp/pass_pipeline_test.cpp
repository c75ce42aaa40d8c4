// What a chunk's product throws on a worker must reach the caller of
// buildStep() as thrown, in file order: after every chunk before the failing
// one was consumed, and from the first failing chunk even when a later one of
// the same round failed first.
#include "pass/pass_pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace quorvel {
namespace {

constexpr char kPoison[] = "poison";

// Rows "n,v" numbered from 0, whose first cell is kPoison at the rows given.
std::string NumberedRows(int rows, const std::vector<int>& poisoned) {
  std::string input;
  for (int r = 0; r < rows; ++r) {
    const bool poison = std::find(poisoned.begin(), poisoned.end(), r) != poisoned.end();
    input += (poison ? std::string(kPoison) : std::to_string(r)) + ",v\n";
  }
  return input;
}

// The chunks built, by their first row, and whether a worker built them.
struct Builders {
  std::mutex mutex;
  std::vector<std::pair<std::string, bool>> chunks;
};

// Fails on a chunk holding a poisoned row, naming the chunk by its first row.
class PoisonedProduct : public ChunkProduct {
 public:
  PoisonedProduct(std::thread::id caller, Builders& builders)
      : caller_(caller), builders_(builders) {}

  void build(const ChunkTokenizer& rows) override {
    first_ = rows.widths().empty() ? "" : std::string(rows.text(0));
    const bool onWorker = std::this_thread::get_id() != caller_;
    {
      std::lock_guard<std::mutex> lock(builders_.mutex);
      builders_.chunks.emplace_back(first_, onWorker);
    }
    // The calling thread would build every chunk while a busy machine keeps
    // the worker waiting to be scheduled: it lingers, so the worker gets some.
    if (!onWorker) std::this_thread::sleep_for(std::chrono::microseconds(200));
    for (std::size_t f = 0; f < rows.fields(); ++f) {
      if (rows.text(f) == kPoison) throw std::runtime_error("poisoned chunk from row " + first_);
    }
  }

 private:
  std::thread::id caller_;
  Builders& builders_;
  std::string first_;
};

struct Outcome {
  std::vector<std::string> consumed;  // first cells of the consumed rows
  std::string failure;                // what buildStep() threw; empty if nothing
  bool failedOnWorker = false;        // the failing chunk was built on a worker
};

Outcome BuildAll(const std::string& input, std::size_t chunkBytes) {
  std::istringstream stream(input);
  PassStats stats;
  PassPipeline pipeline(stream, "", {Dialect{}, 2, 2, chunkBytes, nullptr, nullptr, {}}, stats);
  Builders builders;
  const std::thread::id caller = std::this_thread::get_id();
  const PassPipeline::ProductMaker make = [&] {
    return std::make_unique<PoisonedProduct>(caller, builders);
  };
  Outcome outcome;
  const PassPipeline::Consumer consume = [&](const SettledChunk& chunk) {
    const std::vector<std::uint32_t>& widths = chunk.rows.widths();
    for (std::size_t row = 0, f = 0; row < widths.size(); f += widths[row++]) {
      outcome.consumed.emplace_back(chunk.rows.text(f));
    }
  };
  try {
    while (pipeline.buildStep(make, consume)) {
    }
  } catch (const std::runtime_error& e) {
    outcome.failure = e.what();
  }
  const std::string failingFirst = outcome.failure.substr(outcome.failure.rfind(' ') + 1);
  for (const auto& [first, onWorker] : builders.chunks) {
    if (first == failingFirst && onWorker) outcome.failedOnWorker = true;
  }
  return outcome;
}

// The rows consumed are rows 0 to k-1 in order, and the failure names the
// chunk that starts at row k, which holds the first poisoned row.
void ExpectFailureInFileOrder(const Outcome& outcome, int firstPoisoned) {
  const int k = static_cast<int>(outcome.consumed.size());
  ASSERT_LE(k, firstPoisoned);
  for (int r = 0; r < k; ++r) ASSERT_EQ(outcome.consumed[r], std::to_string(r));
  EXPECT_EQ(outcome.failure,
            "poisoned chunk from row " + (k == firstPoisoned ? kPoison : std::to_string(k)));
}

TEST(PassPipelineBuilding, AFailureOnAWorkerReachesTheCallerInFileOrder) {
  // Which thread builds a chunk is the scheduler's choice: files grow until a
  // worker has built the failing chunk, and every file must fail alike.
  bool onWorker = false;
  for (int attempt = 0; attempt < 100 && !onWorker; ++attempt) {
    const int rows = 2000 + 500 * attempt;
    const int poisoned = rows * 3 / 4 + attempt % 7;
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    const Outcome outcome = BuildAll(NumberedRows(rows, {poisoned}), 256);
    ExpectFailureInFileOrder(outcome, poisoned);
    onWorker = outcome.failedOnWorker;
  }
  EXPECT_TRUE(onWorker) << "no worker built the failing chunk in 100 files";
}

// Two failing chunks a few chunks apart, often in one round: the earlier one
// is raised, whichever thread failed first.
TEST(PassPipelineBuilding, TheFirstFailingChunkInTheFileIsRaised) {
  for (int attempt = 0; attempt < 40; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    const int first = 1000 + 37 * attempt;
    const Outcome outcome = BuildAll(NumberedRows(4000, {first, first + 40 + attempt}), 128);
    ExpectFailureInFileOrder(outcome, first);
  }
}

}  // namespace
}  // namespace quorvel
