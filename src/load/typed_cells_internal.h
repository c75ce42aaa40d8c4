// The two readers of ISO 8601 dates and date-times behind parseDate32() and
// parseTimestamp(), apart for the tests that hold one against the other.
//
//   internal::isoDateAtFixedPlaces("2024-01-31");  // 19753
//   internal::dateByFields("2024-01-31", DateLayout::kIso);  // 19753 too
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "load/typed_cells.h"

namespace quorvel::internal {

// The fast readers: the value where every field stands at its fixed place
// (YYYY-MM-DD; YYYY-MM-DD[T ]HH:MM[:SS[.f{1,6}]][Z|+HH:MM|+HHMM]) and the
// value is valid, else nullopt, where the field-by-field reader decides.
std::optional<std::int32_t> isoDateAtFixedPlaces(std::string_view text);
std::optional<std::int64_t> isoTimestampAtFixedPlaces(std::string_view text, bool zoned);

// The field-by-field readers of every layout, as parseDate32() and
// parseTimestamp() document them.
std::optional<std::int32_t> dateByFields(std::string_view text, DateLayout layout);
std::optional<std::int64_t> timestampByFields(std::string_view text, DateLayout layout, bool zoned);

}  // namespace quorvel::internal
