// The number a type name goes by inside the engine: the matcher answers in
// type ids, and the pass keeps its counts and trial orders by them.
//
//   TypeId id = matcher.firstMatch(order, text) < 0 ? kOther : order[position];
//   counts[id] += 1;
#pragma once

#include <cstdint>

namespace quorvel {

using TypeId = std::int32_t;

}  // namespace quorvel
