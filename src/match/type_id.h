// The number a type name goes by inside the engine: the matcher answers in
// type ids, and the pass keeps its counts and trial orders by them.
//
//   const int position = matcher.firstMatch(order, text);
//   const TypeId id = position < 0 ? PatternTable::kOther : order[position];
#pragma once

#include <cstdint>

namespace quorvel {

using TypeId = std::int32_t;

}  // namespace quorvel
