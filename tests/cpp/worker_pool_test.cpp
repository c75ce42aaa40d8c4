// The pool must run every index of a task exactly once, whatever the number
// of workers and however the count splits into the pieces threads take.
#include "pass/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

namespace quorvel {
namespace {

TEST(WorkerPool, RunsEveryIndexOnceAcrossTasks) {
  for (const unsigned workers : {0u, 1u, 3u}) {
    WorkerPool pool(workers);
    for (const std::size_t take : {1, 8}) {
      for (const std::size_t count : {0, 1, 7, 8, 9, 17, 1000, 1003}) {
        SCOPED_TRACE(std::to_string(workers) + " workers, " + std::to_string(count) + " calls, " +
                     std::to_string(take) + " a take");
        auto calls = std::make_unique<std::atomic<int>[]>(count + 1);
        pool.start(
            count,
            [&](std::size_t i, unsigned thread) {
              EXPECT_LE(thread, workers);
              ++calls[i];
            },
            take);
        pool.wait();
        for (std::size_t i = 0; i <= count; ++i) {
          ASSERT_EQ(calls[i].load(), i < count ? 1 : 0) << "index " << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quorvel
