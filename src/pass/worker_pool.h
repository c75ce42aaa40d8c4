// A fixed set of threads, started once and joined on destruction, that runs
// the indexes of one task at a time, in the background of the calling thread
// until it waits, and then together with it.
//
//   WorkerPool pool(1);
//   pool.start(jobs.size(), [&](std::size_t i, unsigned thread) { classify(jobs[i]); });
//   readMore();  // meanwhile, on the calling thread
//   pool.wait();
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace quorvel {

namespace detail {

// The threads of a WorkerPool and what they share.
class WorkerThreads {
 public:
  // Called with the index and the thread that runs it: 0 for the calling
  // thread, 1 to the number of workers for the workers.
  using Task = std::function<void(std::size_t, unsigned)>;

  // Calls are taken a few at a time: a shared counter bumped for every call
  // would move between the cores about as often as calls take to run.
  static constexpr std::size_t kCallsPerTake = 8;

  // Starts `workers` threads; with none, wait() does all the work.
  explicit WorkerThreads(unsigned workers) {
    threads_.reserve(workers);
    try {
      for (unsigned i = 1; i <= workers; ++i) threads_.emplace_back([this, i] { workLoop(i); });
    } catch (...) {
      stopAndJoin();
      throw;
    }
  }

  WorkerThreads(const WorkerThreads&) = delete;
  WorkerThreads& operator=(const WorkerThreads&) = delete;

  ~WorkerThreads() { stopAndJoin(); }

  // Starts calling task(i, thread) once for every i in [0, count) on the workers and
  // returns at once, so that the caller can do other work meanwhile; wait()
  // finishes the calls. The task must not throw: a worker has nobody to throw
  // to, so callers capture failures themselves. Threads take `callsPerTake`
  // calls at a time: long calls want 1, so that every thread gets some.
  void start(std::size_t count, Task task, std::size_t callsPerTake = kCallsPerTake) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      task_ = std::move(task);
      count_ = count;
      callsPerTake_ = callsPerTake;
      next_.store(0, std::memory_order_relaxed);
      if (threads_.empty() || count == 0) return;
      busyWorkers_ = threads_.size();
      generation_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
  }

  // Takes the calls that no worker has taken yet on the calling thread, then
  // waits until every call of the last start() has finished, calling
  // `whileWaiting` (which must not throw) every kWaitSlice meanwhile.
  void wait(const std::function<void()>& whileWaiting = nullptr) {
    drain(task_, count_, 0);
    for (int round = 0; round < kSpinRounds && busyWorkers_.load() != 0; ++round) {
      std::this_thread::yield();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    const auto finished = [this] { return busyWorkers_.load() == 0; };
    while (!done_.wait_for(lock, kWaitSlice, finished)) {
      if (!whileWaiting) continue;
      lock.unlock();
      whileWaiting();
      lock.lock();
    }
  }

 private:
  // Rows follow each other within microseconds, so a worker polls briefly
  // for the next task before it goes to sleep on the condition variable.
  static constexpr int kSpinRounds = 200;

  // Long enough to cost nothing, short enough for a caller that must look
  // up now and then (for a signal, say) while the workers finish.
  static constexpr std::chrono::milliseconds kWaitSlice{20};

  void drain(const Task& task, std::size_t count, unsigned thread) {
    const std::size_t take = callsPerTake_;
    for (std::size_t first; (first = next_.fetch_add(take, std::memory_order_relaxed)) < count;) {
      const std::size_t last = std::min(count, first + take);
      for (std::size_t i = first; i < last; ++i) task(i, thread);
    }
  }

  bool awaitGeneration(std::uint64_t seen) {
    for (int round = 0; round < kSpinRounds; ++round) {
      if (generation_.load(std::memory_order_acquire) != seen || stop_.load()) return true;
      std::this_thread::yield();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [&] { return stop_.load() || generation_.load() != seen; });
    return !stop_.load();
  }

  void workLoop(unsigned thread) {
    std::uint64_t seen = 0;
    for (;;) {
      if (!awaitGeneration(seen)) return;
      std::size_t count;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_.load()) return;
        seen = generation_.load();
        count = count_;
      }
      // task_ is not replaced before every worker has finished with it.
      drain(task_, count, thread);
      std::lock_guard<std::mutex> lock(mutex_);
      if (--busyWorkers_ == 0) done_.notify_one();
    }
  }

  void stopAndJoin() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<std::size_t> next_{0};
  Task task_;
  std::size_t count_ = 0;
  std::size_t callsPerTake_ = kCallsPerTake;
  std::atomic<std::size_t> busyWorkers_{0};
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

}  // namespace detail

// The pool as its owner holds it. Threads do not survive fork(): a process
// forked while the pool lived has its memory but none of its threads, and
// joining them, or destroying the condition variables they waited on, would
// block that child for ever. A child meets such a pool whenever it frees an
// object the parent had (a process pool forked while a half-read stream of
// the loaders waited for the garbage collector, say), so in any process but
// the one that made it the pool leaves its threads alone: a small leak in the
// child rather than a hang.
class WorkerPool {
 public:
  using Task = detail::WorkerThreads::Task;

  explicit WorkerPool(unsigned workers)
      : threads_(std::make_unique<detail::WorkerThreads>(workers)) {}

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  ~WorkerPool() {
    if (::getpid() != ownerPid_) static_cast<void>(threads_.release());
  }

  // See detail::WorkerThreads: start() returns at once, wait() finishes.
  void start(std::size_t count, Task task,
             std::size_t callsPerTake = detail::WorkerThreads::kCallsPerTake) {
    threads_->start(count, std::move(task), callsPerTake);
  }
  void wait(const std::function<void()>& whileWaiting = nullptr) { threads_->wait(whileWaiting); }

 private:
  pid_t ownerPid_ = ::getpid();
  std::unique_ptr<detail::WorkerThreads> threads_;
};

}  // namespace quorvel
