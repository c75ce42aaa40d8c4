// How a loader reads a column's cells: by the column's verdict, each cell
// becomes a value of the column's Arrow type, or a null where it is missing
// or does not fit (a misfit, which the caller records).
//
//   CellConversion amounts;
//   amounts.kind = CellKind::kFloat64;
//   amounts.padded = true;
//   TypedColumn(amounts).appendCells({" 4.5 ", "x"}, misfits);  // 4.5, null; misfits {1}
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nanoarrow.h"

namespace quorvel {

// The Arrow type a column's cells become.
enum class CellKind {
  kLargeText,     // large_utf8: the cell as written
  kText,          // utf8: the cell as written
  kTextView,      // utf8_view: the cell as written, in a 16-byte view, inline when short
  kInt64,         // an optional sign and digits
  kFloat64,       // a decimal number, correctly rounded
  kBool,          // one of the conversion's true or false texts
  kDate32,        // days since 1970-01-01
  kTimestamp,     // microseconds since 1970-01-01 00:00, no zone given
  kTimestampUtc,  // microseconds since 1970-01-01 00:00 UTC; a zone is required
};

// Where the fields of a date or date-time stand in its text.
enum class DateLayout {
  kIso,                  // 2024-01-31, 2024-01-31T10:11[:12[.123456]][zone]
  kMonthDayYear,         // 1/31/2024
  kDayMonthYear,         // 31/1/2024
  kYearMonthDay,         // 2024/1/31
  kYearMonthDaySeconds,  // 2024/1/31 10:11:12
  kYearMonthDayMinutes,  // 2024/1/31 10:11
};

// The kind named as pyarrow names the type ("int64", "timestamp[us, tz=UTC]",
// "string", ...), and the layout named by its strptime format ("%m/%d/%Y",
// ...; empty for ISO 8601). Both throw std::invalid_argument for any other.
CellKind cellKindNamed(std::string_view arrowName);
DateLayout dateLayoutOf(std::string_view strptimeFormat);

struct CellConversion {
  CellKind kind = CellKind::kLargeText;
  // Cells that are missing, compared byte for byte before any trimming.
  std::vector<std::string> nullTexts;
  bool padded = false;   // whitespace around the value is trimmed, as Unicode defines it
  bool grouped = false;  // every ',' is dropped, after the trimming
  DateLayout layout = DateLayout::kIso;
  std::vector<std::string> trueTexts;  // for kBool, matched whole
  std::vector<std::string> falseTexts;
};

// The parsers: the value of a text, or nullopt where the text does not fit.
// They read bytes, so text that is not UTF-8 never fits.
//  - Integers: [-+]?[0-9]+, leading zeros allowed; past int64 does not fit.
//  - Decimals: [-+]?([0-9]+.?[0-9]*|.[0-9]+)([eE][-+]?[0-9]+)?, correctly
//    rounded to the nearest double; a value beyond the doubles' range does
//    not fit, one below their least one is a zero of its sign.
//  - Dates and date-times: calendar dates of the years 1 to 9999 (year 0000
//    does not fit), clock times of 00:00:00 to 23:59:59. In ISO 8601, 'T' or
//    a space before the clock, seconds optional, 1 to 6 digits of fraction
//    after the seconds; a zone (Z, +HH:MM or +HHMM, to 23:59) is required
//    when zoned and refused otherwise, and the value is converted to UTC.
//    In the slashed layouts, 1 or 2 digits per field but the year's 4.
std::optional<std::int64_t> parseInt64(std::string_view text);
std::optional<double> parseFloat64(std::string_view text);
std::optional<std::int32_t> parseDate32(std::string_view text, DateLayout layout);
std::optional<std::int64_t> parseTimestamp(std::string_view text, DateLayout layout, bool zoned);

// The text without the whitespace at either end: the ASCII controls 9 to 13
// and 28 to 31, the space, and the Unicode spaces and separators (U+0085,
// U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
std::string_view trimWhitespace(std::string_view text);

// One column's cells written into its Arrow array, by its conversion, a
// batch at a time: begin(), the cells in one or more appendCells(), finish().
// Contracts:
//  - `array` was built from a schema that setType() filled, and appending
//    was started on it; it is the column's until finish().
//  - begin() makes room for `rows` cells at once (for text, of `textBytes`
//    bytes in all), the buffers' only allocation: the cells are written into
//    them, more than `rows` of them or more text is undefined behaviour. A
//    validity bitmap is made at the first null only. A utf8_view column's
//    long cells go to one buffer of the batch.
//  - appendCells() holds no reference to a cell after it returns; it allocates
//    only to grow `misfits`, while the widest grouped cell grows its scratch,
//    and for a decimal too hard for the fast path and of 64 bytes or more,
//    which strtod reads from a copy.
//  - Throws std::bad_alloc where begin() finds no memory, and
//    std::overflow_error where a utf8 or utf8_view column's text passes 2 GiB.
//  - Not thread-safe: one column per caller at a time.
class TypedColumn {
 public:
  explicit TypedColumn(CellConversion conversion);

  // Sets the type of `field`, an initialized child of a batch's schema.
  void setType(ArrowSchema* field) const;
  void begin(ArrowArray* array, std::int64_t rows, std::size_t textBytes);
  // The bytes `cell` takes of a batch's text, to sum for begin().
  std::size_t textBytes(std::string_view cell) const {
    if (conversion_.kind != CellKind::kTextView) return cell.size();
    return cell.size() > NANOARROW_BINARY_VIEW_INLINE_SIZE ? cell.size() : 0;
  }
  // The sum for begin() of a batch's cells: 0 for a typed column, which holds no text.
  std::size_t textBytes(const std::vector<std::string_view>& cells) const;
  // Appends a batch's cells of the column in row order: each cell's value, or
  // a null where it is a null text, absent (its data() is null: the row does
  // not reach the column; a tokenizer's texts never are) or written but not
  // fitting (a misfit), whose index in `cells` goes to `misfits`. A column at a time,
  // the kind is told once per call rather than once per cell.
  void appendCells(const std::vector<std::string_view>& cells, std::vector<std::uint32_t>& misfits);
  // Sets the lengths of the array to the cells appended. Returns whether its
  // cells are UTF-8: a typed column's always are, a text column's are
  // checked here, once per batch rather than per cell.
  bool finish();

 private:
  using Appender = bool (TypedColumn::*)(std::string_view);

  // Where the batch's cells go: the array's buffers, sized by begin().
  struct Target {
    ArrowArray* array = nullptr;
    std::int64_t rows = 0;
    std::int64_t length = 0;
    std::int64_t nulls = 0;
    std::uint8_t* values = nullptr;    // fixed-width values, bits for kBool, offsets for text
    std::uint8_t* validity = nullptr;  // null until the first null
    char* text = nullptr;
    std::int64_t textSize = 0;
    bool utf8 = true;  // of a utf8_view column's cells, checked one by one
  };

  bool mayBeNullText(std::string_view cell) const;
  bool isNullText(std::string_view cell) const;
  std::string_view prepared(std::string_view cell);
  std::string_view trimmedAndUngrouped(std::string_view cell);
  template <typename Offset>
  void appendTexts(const std::vector<std::string_view>& cells, std::vector<std::uint32_t>& misfits);
  template <Appender appendValue>
  void appendEach(const std::vector<std::string_view>& cells, std::vector<std::uint32_t>& misfits);
  void appendNull();
  template <typename Value>
  void put(Value value);
  template <typename Offset>
  bool appendText(std::string_view text);
  bool appendView(std::string_view text);
  bool appendInt64(std::string_view text);
  bool appendFloat64(std::string_view text);
  bool appendBool(std::string_view text);
  std::optional<bool> truthAmongWords(std::string_view word) const;
  std::optional<bool> truthAmongTexts(std::string_view word) const;
  bool appendDate32(std::string_view text);
  bool appendTimestamp(std::string_view text);
  bool hasOffsets() const;
  std::size_t valueBytes() const;

  CellConversion conversion_;
  // Bit n set: a null text is n bytes long (the last bit: 63 or more), so
  // most cells are told from every null text by their length alone.
  std::uint64_t nullTextLengths_ = 0;
  std::bitset<256> nullTextFirstBytes_;  // of the null texts but the empty one
  bool nullOnlyWhenEmpty_ = false;       // the empty text is the one null text
  std::string ungrouped_;                // a grouped cell without its commas, reused
  // The boolean texts as words of up to 8 bytes (in order, zeros after), the
  // true ones first, so that a cell is told by comparing words rather than
  // strings; empty when one is longer, and the texts are compared.
  struct BooleanWord {
    std::uint64_t bytes;
    std::size_t size;
    bool truth;
  };
  std::vector<BooleanWord> booleanWords_;
  Target target_;
};

}  // namespace quorvel
