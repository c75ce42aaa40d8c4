// The progress a pass reports to its caller's hook, and the clock that decides
// when: at most every PassClock::kInterval, from places on the calling thread
// that come round often.
//
//   PassClock clock(hook, rows);
//   InputStream input(path, clock.readHook());
//   clock.watch(input);  // from here on clock.rowDone() and clock.poll() may call the hook
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "io/input_stream.h"

namespace quorvel {

// How far a pass has come.
struct PassProgress {
  std::uint64_t bytesRead;                  // input bytes taken: compressed ones when compressed
  std::optional<std::uint64_t> totalBytes;  // the input's size, when it is a regular file
  std::uint64_t rows;                       // data rows finished
};

// Called on the calling thread about every PassClock::kInterval during a pass,
// and once when the pass has ended. Whatever it throws ends the pass as any
// failure during the rows does.
using PassHook = std::function<void(const PassProgress&)>;

// Calls the hook from every read of the input, a millisecond or so apart,
// every wait for it, and every few dozen rows, which bounds the time between
// calls where cells are slow to classify. A clock read there costs nothing
// measurable, unlike one per cell. Without a hook it never calls one, so that
// the loops tick it whether the caller gave one or not.
class PassClock {
 public:
  static constexpr std::chrono::milliseconds kInterval{100};

  // `rows` is the pass's row counter, the header included.
  PassClock(const PassHook& hook, const std::uint64_t& rows) : hook_(hook), rows_(rows) {}
  PassClock(const PassClock&) = delete;
  PassClock& operator=(const PassClock&) = delete;

  InputStream::ReadHook readHook() {
    if (!hook_) return nullptr;
    return [this](const InputStream& input) { tick(input); };
  }
  // Contract: before the first rowDone() or poll().
  void watch(const InputStream& input) { input_ = &input; }

  // Whenever the calling thread has time to look.
  void poll() {
    if (hook_) tick(*input_);
  }

  void rowDone() {
    if (++rowsSinceTick_ < kRowsPerTick) return;
    rowsSinceTick_ = 0;
    poll();
  }

 private:
  static constexpr unsigned kRowsPerTick = 64;

  void tick(const InputStream& input) {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kInterval) return;
    last_ = now;
    hook_(PassProgress{input.bytesRead(), input.totalBytes(), rows_ > 0 ? rows_ - 1 : 0});
  }

  const PassHook& hook_;
  const std::uint64_t& rows_;
  const InputStream* input_ = nullptr;
  unsigned rowsSinceTick_ = 0;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

}  // namespace quorvel
