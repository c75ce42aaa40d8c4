// The parsers of typed cells and the column that appends their values.
#include "load/typed_cells.h"

#include <algorithm>
#include <bitset>
#include <charconv>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "load/arrow_status.h"
#include "load/typed_cells_internal.h"
#include "load/utf8_text.h"

namespace quorvel {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::size_t digitsAt(std::string_view text, std::size_t at) {
  std::size_t end = at;
  while (end < text.size() && isDigit(text[end])) ++end;
  return end - at;
}

std::size_t signAt(std::string_view text, std::size_t at) {
  return at < text.size() && (text[at] == '+' || text[at] == '-') ? 1 : 0;
}

// ---- Whitespace -------------------------------------------------------------

bool isAsciiSpace(unsigned char c) { return (c >= 9 && c <= 13) || (c >= 28 && c <= 32); }

// Whether the two or three bytes encode a Unicode space or separator.
bool isWideSpace(std::string_view bytes) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (bytes.size() == 2) return at(0) == 0xC2 && (at(1) == 0x85 || at(1) == 0xA0);
  if (at(0) == 0xE1) return at(1) == 0x9A && at(2) == 0x80;
  if (at(0) == 0xE3) return at(1) == 0x80 && at(2) == 0x80;
  if (at(0) != 0xE2) return false;
  if (at(1) == 0x81) return at(2) == 0x9F;
  return at(1) == 0x80 && (at(2) <= 0x8A || at(2) == 0xA8 || at(2) == 0xA9 || at(2) == 0xAF);
}

// The bytes of the whitespace character that `text` starts with; 0 for none.
std::size_t leadingSpace(std::string_view text) {
  if (!text.empty() && isAsciiSpace(static_cast<unsigned char>(text[0]))) return 1;
  for (std::size_t bytes : {2, 3}) {
    if (text.size() >= bytes && isWideSpace(text.substr(0, bytes))) return bytes;
  }
  return 0;
}

// The bytes of the whitespace character that `text` ends with; 0 for none.
std::size_t trailingSpace(std::string_view text) {
  if (!text.empty() && isAsciiSpace(static_cast<unsigned char>(text.back()))) return 1;
  for (std::size_t bytes : {2, 3}) {
    if (text.size() >= bytes && isWideSpace(text.substr(text.size() - bytes))) return bytes;
  }
  return 0;
}

// ---- Decimals ---------------------------------------------------------------

bool isDecimalShape(std::string_view text) {
  std::size_t at = signAt(text, 0);
  const std::size_t whole = digitsAt(text, at);
  at += whole;
  std::size_t fraction = 0;
  if (at < text.size() && text[at] == '.') {
    fraction = digitsAt(text, ++at);
    at += fraction;
  }
  if (whole == 0 && fraction == 0) return false;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    at += 1 + signAt(text, at + 1);
    const std::size_t exponent = digitsAt(text, at);
    if (exponent == 0) return false;
    at += exponent;
  }
  return at == text.size();
}

// Clinger's fast path: a decimal of at most 15 significant digits is its
// digits m, exact in a double, times 10^e; for |e| <= 22 the power is exact
// too, and one multiplication or division by it rounds correctly. nullopt
// for any other, which strtod reads. `number` has the decimal shape.
std::optional<double> exactDecimal(std::string_view number) {
  static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  constexpr int kMostDigits = 15;
  constexpr int kMostPower = 22;
  const bool negative = number[0] == '-';
  std::size_t at = signAt(number, 0);
  std::uint64_t digits = 0;
  int significant = 0, exponent = 0;
  bool fraction = false;
  for (; at < number.size() && number[at] != 'e' && number[at] != 'E'; ++at) {
    if (number[at] == '.') {
      fraction = true;
      continue;
    }
    exponent -= fraction ? 1 : 0;
    const auto digit = static_cast<std::uint64_t>(number[at] - '0');
    if (digits == 0 && digit == 0) continue;  // a leading zero
    if (++significant > kMostDigits) return std::nullopt;
    digits = digits * 10 + digit;
  }
  if (at < number.size()) {
    const std::string_view written = number.substr(at + 1 + (number[at + 1] == '+' ? 1 : 0));
    int power = 0;
    if (std::from_chars(written.data(), written.data() + written.size(), power).ec != std::errc()) {
      return std::nullopt;  // beyond int: strtod tells zero from infinity
    }
    if (power > kMostPower * 4 || power < -kMostPower * 4) return std::nullopt;
    exponent += power;
  }
  const double magnitude = static_cast<double>(digits);
  if (digits == 0) return negative ? -0.0 : 0.0;
  if (exponent < -kMostPower || exponent > kMostPower) return std::nullopt;
  const double value =
      exponent < 0 ? magnitude / kPowers[-exponent] : magnitude * kPowers[exponent];
  return negative ? -value : value;
}

// Most decimals have no exponent and few digits: [-+]?[0-9]*.?[0-9]* with 1 to
// 15 digits, read in one pass. Their digits m are exact in a double, and so is
// the power 10^k of the k digits after the point, so m / 10^k rounds
// correctly. nullopt for any other text, which exactDecimal() or strtod reads
// (or which is no decimal).
std::optional<double> plainDecimal(std::string_view text) {
  static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  constexpr std::size_t kMostDigits = 15;
  const std::size_t sign = signAt(text, 0);
  std::uint64_t digits = 0;
  std::size_t count = 0, point = 0;  // point: the digits before it, plus one
  for (std::size_t at = sign; at < text.size(); ++at) {
    const unsigned digit = static_cast<unsigned char>(text[at]) - unsigned{'0'};
    if (digit <= 9) {
      digits = digits * 10 + digit;
      ++count;
    } else if (text[at] != '.' || point != 0) {
      return std::nullopt;
    } else {
      point = count + 1;
    }
  }
  if (count == 0 || count > kMostDigits) return std::nullopt;
  const std::size_t fraction = point == 0 ? 0 : count - (point - 1);
  const double value = static_cast<double>(digits) / kPowers[fraction];
  return sign != 0 && text[0] == '-' ? -value : value;
}

// strtod in the C locale, whatever locale the process chose: glibc's rounds
// correctly, and it is in every C++ library the module is built with, which
// from_chars of a double is not (libc++ lacks it).
double decimalValue(std::string_view number) {
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
  if (cLocale == locale_t{}) throw std::bad_alloc();
  // strtod reads up to a NUL: a copy, on the stack for any but a long number.
  char shortCopy[64];
  std::string longCopy;
  const char* text = shortCopy;
  if (number.size() < sizeof shortCopy) {
    number.copy(shortCopy, number.size());
    shortCopy[number.size()] = '\0';
  } else {
    longCopy.assign(number);
    text = longCopy.c_str();
  }
  return strtod_l(text, nullptr, cLocale);
}

// ---- Dates and clocks -------------------------------------------------------

// Reads a text field by field, each step failing where the text differs.
class Fields {
 public:
  explicit Fields(std::string_view text) : text_(text) {}

  bool number(std::size_t fewest, std::size_t most, int& value) {
    const std::size_t digits = std::min(digitsAt(text_, at_), most);
    if (digits < fewest) return false;
    value = 0;
    for (std::size_t i = 0; i < digits; ++i) value = value * 10 + (text_[at_ + i] - '0');
    at_ += digits;
    return true;
  }
  bool literal(char c) { return at_ < text_.size() && text_[at_] == c && ++at_; }
  bool oneOf(char a, char b) { return literal(a) || literal(b); }
  bool next(char c) const { return at_ < text_.size() && text_[at_] == c; }
  bool done() const { return at_ == text_.size(); }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

bool isLeap(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int daysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeap(year) ? 29 : kDays[month - 1];
}

struct CivilDate {
  int year = 0, month = 0, day = 0;

  bool valid() const {
    return year >= 1 && month >= 1 && month <= 12 && day >= 1 && day <= daysInMonth(year, month);
  }
  // Days since 1970-01-01 of the proleptic Gregorian calendar, by Howard
  // Hinnant's days_from_civil: exact for every year, without tables.
  std::int64_t days() const {
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = y / 400;  // y >= 0, since year >= 1
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return std::int64_t{era} * 146097 + dayOfEra - 719468;
  }
};

struct Clock {
  int hour = 0, minute = 0, second = 0, micros = 0;

  bool valid() const { return hour <= 23 && minute <= 59 && second <= 59; }
  std::int64_t sinceMidnight() const {
    return ((std::int64_t{hour} * 60 + minute) * 60 + second) * 1000000 + micros;
  }
};

bool isYearFirst(DateLayout layout) {
  return layout == DateLayout::kYearMonthDay || layout == DateLayout::kYearMonthDaySeconds ||
         layout == DateLayout::kYearMonthDayMinutes;
}

bool readSlashedDate(Fields& fields, DateLayout layout, CivilDate& date) {
  if (isYearFirst(layout)) {
    return fields.number(4, 4, date.year) && fields.literal('/') &&
           fields.number(1, 2, date.month) && fields.literal('/') && fields.number(1, 2, date.day);
  }
  int first = 0, second = 0;
  if (!(fields.number(1, 2, first) && fields.literal('/') && fields.number(1, 2, second) &&
        fields.literal('/') && fields.number(4, 4, date.year))) {
    return false;
  }
  const bool monthFirst = layout == DateLayout::kMonthDayYear;
  date.month = monthFirst ? first : second;
  date.day = monthFirst ? second : first;
  return true;
}

bool readDate(Fields& fields, DateLayout layout, CivilDate& date) {
  if (layout != DateLayout::kIso) return readSlashedDate(fields, layout, date);
  return fields.number(4, 4, date.year) && fields.literal('-') && fields.number(2, 2, date.month) &&
         fields.literal('-') && fields.number(2, 2, date.day);
}

// Six digits at most: a finer fraction would be cut, so it does not fit.
bool readFraction(Fields& fields, int& micros) {
  if (!fields.literal('.')) return true;
  int digits = 0;
  for (int scale = 100000; scale >= 1; scale /= 10) {
    if (!fields.number(1, 1, digits)) return scale != 100000;
    micros += digits * scale;
  }
  return true;
}

bool readIsoClock(Fields& fields, Clock& clock) {
  if (!(fields.oneOf('T', ' ') && fields.number(2, 2, clock.hour) && fields.literal(':') &&
        fields.number(2, 2, clock.minute))) {
    return false;
  }
  if (!fields.literal(':')) return true;
  return fields.number(2, 2, clock.second) && readFraction(fields, clock.micros);
}

bool readClock(Fields& fields, DateLayout layout, Clock& clock) {
  if (layout == DateLayout::kIso) return readIsoClock(fields, clock);
  if (!(fields.literal(' ') && fields.number(1, 2, clock.hour) && fields.literal(':') &&
        fields.number(1, 2, clock.minute))) {
    return false;
  }
  if (layout == DateLayout::kYearMonthDayMinutes) return true;
  return fields.literal(':') && fields.number(1, 2, clock.second);
}

// Z, or +HH:MM or +HHMM ahead of UTC (- behind), to 23:59.
bool readZone(Fields& fields, int& minutesAhead) {
  if (fields.literal('Z')) return true;
  const bool behind = fields.next('-');
  int hours = 0, minutes = 0;
  if (!(fields.oneOf('+', '-') && fields.number(2, 2, hours))) return false;
  fields.literal(':');
  if (!fields.number(2, 2, minutes) || hours > 23 || minutes > 59) return false;
  minutesAhead = (behind ? -1 : 1) * (hours * 60 + minutes);
  return true;
}

constexpr std::int64_t kMicrosPerDay = std::int64_t{86400} * 1000000;

// ---- ISO 8601 at fixed places -----------------------------------------------
// Nearly every ISO cell has its fields at fixed places; reading them there
// costs a fraction of the field-by-field reader, which still decides the
// others (the misfits among them).

// The number of the two ASCII digits at `text`, or -1 where one is no digit.
// Written out rather than looped: the compiler does not unroll the loop.
int twoDigits(const char* text) {
  const unsigned tens = static_cast<unsigned char>(text[0]) - unsigned{'0'};
  const unsigned ones = static_cast<unsigned char>(text[1]) - unsigned{'0'};
  return tens > 9 || ones > 9 ? -1 : static_cast<int>(tens * 10 + ones);
}

int fourDigits(const char* text) {
  const int high = twoDigits(text), low = twoDigits(text + 2);
  return high < 0 || low < 0 ? -1 : high * 100 + low;
}

constexpr std::size_t kIsoDateSize = 10;  // YYYY-MM-DD
constexpr std::size_t kClockAt = 11;      // after YYYY-MM-DDT

// The valid date "YYYY-MM-DD" that `text` starts with.
std::optional<CivilDate> fixedIsoDate(std::string_view text) {
  if (text.size() < kIsoDateSize || text[4] != '-' || text[7] != '-') return std::nullopt;
  const CivilDate date{fourDigits(&text[0]), twoDigits(&text[5]), twoDigits(&text[8])};
  if (!date.valid()) return std::nullopt;  // a -1 fails it too
  return date;
}

// The valid clock "HH:MM[:SS[.f{1,6}]]" that `text` starts with, and the
// bytes it takes (0 for none).
std::size_t fixedIsoClock(std::string_view text, Clock& clock) {
  constexpr std::size_t kMinutesEnd = 5, kSecondsEnd = 8, kMostFraction = 6;
  static constexpr int kScales[] = {1000000, 100000, 10000, 1000, 100, 10, 1};
  if (text.size() < kMinutesEnd || text[2] != ':') return 0;
  clock.hour = twoDigits(&text[0]);
  clock.minute = twoDigits(&text[3]);
  std::size_t end = kMinutesEnd;
  if (text.size() >= kSecondsEnd && text[kMinutesEnd] == ':') {
    clock.second = twoDigits(&text[6]);
    end = kSecondsEnd;
    if (end < text.size() && text[end] == '.') {
      std::size_t digits = 0;
      for (++end; digits < kMostFraction && end < text.size() && isDigit(text[end]); ++digits) {
        clock.micros = clock.micros * 10 + (text[end++] - '0');
      }
      if (digits == 0) return 0;
      clock.micros *= kScales[digits];
    }
  }
  const bool read = std::min({clock.hour, clock.minute, clock.second}) >= 0;
  return read && clock.valid() ? end : 0;
}

// The minutes ahead of UTC of the zone "Z", "+HH:MM" or "+HHMM" ('-' behind,
// to 23:59) that is all of `text`.
std::optional<int> fixedIsoZone(std::string_view text) {
  if (text == "Z") return 0;
  const bool colon = text.size() == 6 && text[3] == ':';
  if (!(colon || text.size() == 5) || (text[0] != '+' && text[0] != '-')) return std::nullopt;
  const int hours = twoDigits(&text[1]);
  const int minutes = twoDigits(&text[colon ? 4 : 3]);
  if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59) return std::nullopt;
  return (text[0] == '-' ? -1 : 1) * (hours * 60 + minutes);
}

}  // namespace

namespace internal {

std::optional<std::int32_t> isoDateAtFixedPlaces(std::string_view text) {
  const std::optional<CivilDate> date = fixedIsoDate(text);
  if (!date || text.size() != kIsoDateSize) return std::nullopt;
  return static_cast<std::int32_t>(date->days());
}

std::optional<std::int64_t> isoTimestampAtFixedPlaces(std::string_view text, bool zoned) {
  const std::optional<CivilDate> date = fixedIsoDate(text);
  if (!date || text.size() <= kClockAt || (text[10] != 'T' && text[10] != ' ')) return std::nullopt;
  Clock clock;
  const std::size_t clockSize = fixedIsoClock(text.substr(kClockAt), clock);
  if (clockSize == 0) return std::nullopt;
  const std::string_view zone = text.substr(kClockAt + clockSize);
  std::optional<int> minutesAhead = 0;
  if (zoned) {
    minutesAhead = fixedIsoZone(zone);
  } else if (!zone.empty()) {
    return std::nullopt;
  }
  if (!minutesAhead) return std::nullopt;
  return date->days() * kMicrosPerDay + clock.sinceMidnight() -
         std::int64_t{*minutesAhead} * 60 * 1000000;
}

}  // namespace internal

namespace {

template <typename Value>
using Named = std::pair<std::string_view, Value>;

template <typename Value, std::size_t N>
Value lookUp(const Named<Value> (&table)[N], std::string_view name, const char* unknown) {
  for (const auto& [known, value] : table) {
    if (known == name) return value;
  }
  throw std::invalid_argument(unknown + std::string(name));
}

}  // namespace

CellKind cellKindNamed(std::string_view arrowName) {
  static constexpr Named<CellKind> kNames[] = {{"large_string", CellKind::kLargeText},
                                               {"string", CellKind::kText},
                                               {"string_view", CellKind::kTextView},
                                               {"int64", CellKind::kInt64},
                                               {"double", CellKind::kFloat64},
                                               {"bool", CellKind::kBool},
                                               {"date32[day]", CellKind::kDate32},
                                               {"timestamp[us]", CellKind::kTimestamp},
                                               {"timestamp[us, tz=UTC]", CellKind::kTimestampUtc}};
  return lookUp(kNames, arrowName, "no conversion to the Arrow type ");
}

DateLayout dateLayoutOf(std::string_view strptimeFormat) {
  static constexpr Named<DateLayout> kFormats[] = {
      {"", DateLayout::kIso},
      {"%m/%d/%Y", DateLayout::kMonthDayYear},
      {"%d/%m/%Y", DateLayout::kDayMonthYear},
      {"%Y/%m/%d", DateLayout::kYearMonthDay},
      {"%Y/%m/%d %H:%M:%S", DateLayout::kYearMonthDaySeconds},
      {"%Y/%m/%d %H:%M", DateLayout::kYearMonthDayMinutes}};
  return lookUp(kFormats, strptimeFormat, "no date layout of the format ");
}

std::optional<std::int64_t> parseInt64(std::string_view text) {
  const std::size_t sign = signAt(text, 0);
  if (text.size() == sign) return std::nullopt;
  // Eighteen digits never pass int64's range; the sum of more wraps, unsigned,
  // and from_chars reads them again.
  constexpr std::size_t kSafeDigits = 18;
  std::uint64_t magnitude = 0;
  for (std::size_t at = sign; at < text.size(); ++at) {
    const unsigned digit = static_cast<unsigned char>(text[at]) - unsigned{'0'};
    if (digit > 9) return std::nullopt;
    magnitude = magnitude * 10 + digit;
  }
  if (text.size() - sign <= kSafeDigits) {
    const auto value = static_cast<std::int64_t>(magnitude);
    return text[0] == '-' ? -value : value;
  }
  // from_chars takes a '-' but no '+'.
  const std::string_view number = text.substr(text[0] == '+' ? 1 : 0);
  std::int64_t value = 0;
  const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
  if (result.ec != std::errc()) return std::nullopt;
  return value;
}

std::optional<double> parseFloat64(std::string_view text) {
  if (const std::optional<double> plain = plainDecimal(text)) return plain;
  if (!isDecimalShape(text)) return std::nullopt;
  if (const std::optional<double> exact = exactDecimal(text)) return exact;
  const double value = decimalValue(text);
  // Past the largest double it is infinite, which no loader holds as a number.
  if (std::isinf(value)) return std::nullopt;
  return value;
}

std::optional<std::int32_t> parseDate32(std::string_view text, DateLayout layout) {
  if (layout == DateLayout::kIso) {
    if (const std::optional<std::int32_t> days = internal::isoDateAtFixedPlaces(text)) return days;
  }
  return internal::dateByFields(text, layout);
}

namespace internal {

std::optional<std::int32_t> dateByFields(std::string_view text, DateLayout layout) {
  Fields fields(text);
  CivilDate date;
  if (!readDate(fields, layout, date) || !fields.done() || !date.valid()) return std::nullopt;
  return static_cast<std::int32_t>(date.days());
}

std::optional<std::int64_t> timestampByFields(std::string_view text, DateLayout layout,
                                              bool zoned) {
  Fields fields(text);
  CivilDate date;
  Clock clock;
  int minutesAhead = 0;
  if (!readDate(fields, layout, date) || !readClock(fields, layout, clock) ||
      (zoned && !readZone(fields, minutesAhead)) || !fields.done() || !date.valid() ||
      !clock.valid()) {
    return std::nullopt;
  }
  return date.days() * kMicrosPerDay + clock.sinceMidnight() -
         std::int64_t{minutesAhead} * 60 * 1000000;
}

}  // namespace internal

std::optional<std::int64_t> parseTimestamp(std::string_view text, DateLayout layout, bool zoned) {
  if (layout == DateLayout::kIso) {
    if (const std::optional<std::int64_t> micros =
            internal::isoTimestampAtFixedPlaces(text, zoned)) {
      return micros;
    }
  }
  return internal::timestampByFields(text, layout, zoned);
}

std::string_view trimWhitespace(std::string_view text) {
  while (const std::size_t bytes = leadingSpace(text)) text.remove_prefix(bytes);
  while (const std::size_t bytes = trailingSpace(text)) text.remove_suffix(bytes);
  return text;
}

// ---- The column ---------------------------------------------------------------

namespace {

constexpr std::uint64_t kLongNullText = std::uint64_t{1} << 63;

std::uint64_t lengthBit(std::size_t length) {
  return length >= 63 ? kLongNullText : std::uint64_t{1} << length;
}

std::uint64_t lengthsOf(const std::vector<std::string>& texts) {
  std::uint64_t lengths = 0;
  for (const std::string& text : texts) lengths |= lengthBit(text.size());
  return lengths;
}

std::bitset<256> firstBytesOf(const std::vector<std::string>& texts) {
  std::bitset<256> firstBytes;
  for (const std::string& text : texts) {
    if (!text.empty()) firstBytes.set(static_cast<unsigned char>(text[0]));
  }
  return firstBytes;
}

std::int64_t bitmapBytes(std::int64_t bits) { return (bits + 7) / 8; }

// Room for `bytes` more in the buffer; its data, which may have moved.
std::uint8_t* reserved(ArrowBuffer* buffer, std::int64_t bytes) {
  checkArrow(ArrowBufferReserve(buffer, bytes), "batch");
  return buffer->data;
}

// The one buffer of a utf8_view batch's long text, allocated as its views
// are. nanoarrow keeps such buffers in its private data, where its own
// appenders reach them too.
ArrowBuffer* addLongTextBuffer(ArrowArray* array) {
  checkArrow(ArrowArrayAddVariadicBuffers(array, 1), "batch");
  auto* arrowData = static_cast<ArrowArrayPrivateData*>(array->private_data);
  ArrowBuffer* buffer = &arrowData->variadic_buffers[0];
  checkArrow(ArrowBufferSetAllocator(buffer, ArrowArrayBuffer(array, 1)->allocator), "batch");
  return buffer;
}

void setLongTextSize(ArrowArray* array, std::int64_t bytes) {
  auto* arrowData = static_cast<ArrowArrayPrivateData*>(array->private_data);
  arrowData->variadic_buffers[0].size_bytes = bytes;
  arrowData->variadic_buffer_sizes[0] = bytes;
}

constexpr std::size_t kWordBytes = 8;

// The bytes of a text of at most kWordBytes, the first lowest.
std::uint64_t wordOf(std::string_view text) {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    word |= std::uint64_t{static_cast<unsigned char>(text[i])} << (8 * i);
  }
  return word;
}

void clearBit(std::uint8_t* bits, std::int64_t at) {
  bits[at / 8] &= static_cast<std::uint8_t>(~(1u << (at % 8)));
}

}  // namespace

TypedColumn::TypedColumn(CellConversion conversion)
    : conversion_(std::move(conversion)),
      nullTextLengths_(lengthsOf(conversion_.nullTexts)),
      nullTextFirstBytes_(firstBytesOf(conversion_.nullTexts)),
      nullOnlyWhenEmpty_(nullTextLengths_ == lengthBit(0)) {
  for (const bool truth : {true, false}) {
    for (const std::string& text : truth ? conversion_.trueTexts : conversion_.falseTexts) {
      if (text.size() > kWordBytes) {
        booleanWords_.clear();
        return;
      }
      booleanWords_.push_back(BooleanWord{wordOf(text), text.size(), truth});
    }
  }
}

void TypedColumn::setType(ArrowSchema* field) const {
  switch (conversion_.kind) {
    case CellKind::kLargeText:
      return checkArrow(ArrowSchemaSetType(field, NANOARROW_TYPE_LARGE_STRING), "schema");
    case CellKind::kText:
      return checkArrow(ArrowSchemaSetType(field, NANOARROW_TYPE_STRING), "schema");
    case CellKind::kTextView:
      return checkArrow(ArrowSchemaSetType(field, NANOARROW_TYPE_STRING_VIEW), "schema");
    case CellKind::kInt64:
      return checkArrow(ArrowSchemaSetType(field, NANOARROW_TYPE_INT64), "schema");
    case CellKind::kFloat64:
      return checkArrow(ArrowSchemaSetType(field, NANOARROW_TYPE_DOUBLE), "schema");
    case CellKind::kBool:
      return checkArrow(ArrowSchemaSetType(field, NANOARROW_TYPE_BOOL), "schema");
    case CellKind::kDate32:
      return checkArrow(ArrowSchemaSetType(field, NANOARROW_TYPE_DATE32), "schema");
    case CellKind::kTimestamp:
    case CellKind::kTimestampUtc:
      return checkArrow(
          ArrowSchemaSetTypeDateTime(field, NANOARROW_TYPE_TIMESTAMP, NANOARROW_TIME_UNIT_MICRO,
                                     conversion_.kind == CellKind::kTimestampUtc ? "UTC" : nullptr),
          "schema");
  }
}

// The values buffer of a text column holds its offsets, the first of which
// (0) starting to append wrote, or its views; the others' is empty.
void TypedColumn::begin(ArrowArray* array, std::int64_t rows, std::size_t textBytes) {
  if ((conversion_.kind == CellKind::kText || conversion_.kind == CellKind::kTextView) &&
      textBytes > INT32_MAX) {
    throw std::overflow_error("a batch's utf8 column cannot hold more than 2 GiB of text");
  }
  target_ = Target{array, rows};
  ArrowBuffer* values = ArrowArrayBuffer(array, 1);
  const std::int64_t bytes = conversion_.kind == CellKind::kBool
                                 ? bitmapBytes(rows)
                                 : rows * static_cast<std::int64_t>(valueBytes());
  target_.values = reserved(values, bytes);
  if (conversion_.kind == CellKind::kBool) std::memset(target_.values, 0, bytes);
  if (hasOffsets()) {
    target_.text = reinterpret_cast<char*>(
        reserved(ArrowArrayBuffer(array, 2), static_cast<std::int64_t>(textBytes)));
  } else if (conversion_.kind == CellKind::kTextView && textBytes > 0) {
    target_.text = reinterpret_cast<char*>(
        reserved(addLongTextBuffer(array), static_cast<std::int64_t>(textBytes)));
  }
}

void TypedColumn::appendCells(const std::vector<std::string_view>& cells,
                              std::vector<std::uint32_t>& misfits) {
  switch (conversion_.kind) {
    case CellKind::kLargeText:
      return appendTexts<std::int64_t>(cells, misfits);
    case CellKind::kText:
      return appendTexts<std::int32_t>(cells, misfits);
    case CellKind::kTextView:
      return appendEach<&TypedColumn::appendView>(cells, misfits);
    case CellKind::kInt64:
      return appendEach<&TypedColumn::appendInt64>(cells, misfits);
    case CellKind::kFloat64:
      return appendEach<&TypedColumn::appendFloat64>(cells, misfits);
    case CellKind::kBool:
      return appendEach<&TypedColumn::appendBool>(cells, misfits);
    case CellKind::kDate32:
      return appendEach<&TypedColumn::appendDate32>(cells, misfits);
    case CellKind::kTimestamp:
    case CellKind::kTimestampUtc:
      return appendEach<&TypedColumn::appendTimestamp>(cells, misfits);
  }
}

// The text columns of a report have the empty text for their one null text:
// their cells need no filter, a cell is null when empty (or absent).
template <typename Offset>
void TypedColumn::appendTexts(const std::vector<std::string_view>& cells,
                              std::vector<std::uint32_t>& misfits) {
  if (!nullOnlyWhenEmpty_) return appendEach<&TypedColumn::appendText<Offset>>(cells, misfits);
  for (const std::string_view cell : cells) {
    if (cell.empty()) {
      appendNull();
    } else {
      appendText<Offset>(cell);
    }
    ++target_.length;
  }
}

template <TypedColumn::Appender appendValue>
void TypedColumn::appendEach(const std::vector<std::string_view>& cells,
                             std::vector<std::uint32_t>& misfits) {
  for (std::size_t i = 0; i < cells.size(); ++i, ++target_.length) {
    const std::string_view cell = cells[i];
    if (cell.data() == nullptr || (mayBeNullText(cell) && isNullText(cell))) {
      appendNull();
    } else if (!(this->*appendValue)(cell)) {
      appendNull();
      misfits.push_back(static_cast<std::uint32_t>(i));
    }
  }
}

// A null's value is zero, or for text an empty span, so that no byte of the
// buffers is left unwritten.
void TypedColumn::appendNull() {
  if (target_.validity == nullptr) {
    ArrowBitmap* validity = ArrowArrayValidityBitmap(target_.array);
    const std::int64_t bytes = bitmapBytes(target_.rows);
    target_.validity = reserved(&validity->buffer, bytes);
    std::memset(target_.validity, 0xFF, static_cast<std::size_t>(bytes));
  }
  clearBit(target_.validity, target_.length);
  ++target_.nulls;
  switch (conversion_.kind) {
    case CellKind::kLargeText:
      return put(static_cast<std::int64_t>(target_.textSize));
    case CellKind::kText:
      return put(static_cast<std::int32_t>(target_.textSize));
    case CellKind::kTextView:
      return put(ArrowBinaryView{});
    case CellKind::kBool:
      return;  // its bit was cleared by begin()
    default:
      std::memset(target_.values + target_.length * valueBytes(), 0, valueBytes());
  }
}

bool TypedColumn::finish() {
  ArrowArray* array = target_.array;
  const std::int64_t length = target_.length;
  array->length = length;
  array->null_count = target_.nulls;
  if (target_.validity != nullptr) {
    ArrowBitmap* validity = ArrowArrayValidityBitmap(array);
    validity->size_bits = length;
    validity->buffer.size_bytes = bitmapBytes(length);
  }
  ArrowBuffer* values = ArrowArrayBuffer(array, 1);
  values->size_bytes += conversion_.kind == CellKind::kBool
                            ? bitmapBytes(length)
                            : length * static_cast<std::int64_t>(valueBytes());
  if (conversion_.kind == CellKind::kTextView) {
    if (target_.text != nullptr) setLongTextSize(array, target_.textSize);
    return target_.utf8;
  }
  if (!hasOffsets()) return true;
  ArrowArrayBuffer(array, 2)->size_bytes = target_.textSize;
  return isUtf8(std::string_view(target_.text, static_cast<std::size_t>(target_.textSize)));
}

// Most cells differ from every null text in their length or first byte.
bool TypedColumn::mayBeNullText(std::string_view cell) const {
  return (nullTextLengths_ & lengthBit(cell.size())) != 0 &&
         (cell.empty() || nullTextFirstBytes_[static_cast<unsigned char>(cell[0])]);
}

// The null texts are a few short ones: comparing them beats hashing the cell.
bool TypedColumn::isNullText(std::string_view cell) const {
  return std::any_of(conversion_.nullTexts.begin(), conversion_.nullTexts.end(),
                     [cell](const std::string& text) { return text == cell; });
}

// Most columns are neither padded nor grouped: their cells pass as they are, without a call.
std::string_view TypedColumn::prepared(std::string_view cell) {
  if (!conversion_.padded && !conversion_.grouped) return cell;
  return trimmedAndUngrouped(cell);
}

std::string_view TypedColumn::trimmedAndUngrouped(std::string_view cell) {
  if (conversion_.padded) cell = trimWhitespace(cell);
  if (!conversion_.grouped || cell.find(',') == std::string_view::npos) return cell;
  ungrouped_.clear();
  for (const char c : cell) {
    if (c != ',') ungrouped_ += c;
  }
  return ungrouped_;
}

// The value of the cell being appended; for text, its end offset, which
// stands one after the cell's index.
template <typename Value>
void TypedColumn::put(Value value) {
  const std::int64_t at = hasOffsets() ? target_.length + 1 : target_.length;
  std::memcpy(target_.values + at * static_cast<std::int64_t>(sizeof value), &value, sizeof value);
}

template <typename Offset>
bool TypedColumn::appendText(std::string_view text) {
  // A batch of empty cells may have no text buffer to copy to.
  if (!text.empty()) std::memcpy(target_.text + target_.textSize, text.data(), text.size());
  target_.textSize += static_cast<std::int64_t>(text.size());
  put(static_cast<Offset>(target_.textSize));
  return true;
}

// A short text is inline in its view, whose unused bytes stay zero; a long
// one is in the batch's buffer of long text, its first bytes in the view.
// The views' texts lie apart: each is checked as UTF-8 on its own.
bool TypedColumn::appendView(std::string_view text) {
  ArrowBinaryView view{};
  view.inlined.size = static_cast<std::int32_t>(text.size());
  if (text.size() <= NANOARROW_BINARY_VIEW_INLINE_SIZE) {
    if (!text.empty()) std::memcpy(view.inlined.data, text.data(), text.size());
  } else {
    std::memcpy(view.ref.prefix, text.data(), NANOARROW_BINARY_VIEW_PREFIX_SIZE);
    view.ref.buffer_index = 0;
    view.ref.offset = static_cast<std::int32_t>(target_.textSize);
    std::memcpy(target_.text + target_.textSize, text.data(), text.size());
    target_.textSize += static_cast<std::int64_t>(text.size());
  }
  put(view);
  target_.utf8 = target_.utf8 && isUtf8(text);
  return true;
}

bool TypedColumn::appendInt64(std::string_view text) {
  const std::optional<std::int64_t> value = parseInt64(prepared(text));
  if (value) put(*value);
  return value.has_value();
}

bool TypedColumn::appendFloat64(std::string_view text) {
  const std::optional<double> value = parseFloat64(prepared(text));
  if (value) put(*value);
  return value.has_value();
}

bool TypedColumn::appendBool(std::string_view text) {
  const std::string_view word = prepared(text);
  const std::optional<bool> truth =
      booleanWords_.empty() ? truthAmongTexts(word) : truthAmongWords(word);
  if (!truth) return false;
  if (*truth) {
    target_.values[target_.length / 8] |= static_cast<std::uint8_t>(1u << (target_.length % 8));
  }
  return true;
}

// Every boolean text fits in a word: a longer cell is none of them.
std::optional<bool> TypedColumn::truthAmongWords(std::string_view word) const {
  if (word.size() > kWordBytes) return std::nullopt;
  const std::uint64_t bytes = wordOf(word);
  for (const BooleanWord& known : booleanWords_) {
    if (known.bytes == bytes && known.size == word.size()) return known.truth;
  }
  return std::nullopt;
}

std::optional<bool> TypedColumn::truthAmongTexts(std::string_view word) const {
  const auto among = [word](const std::vector<std::string>& texts) {
    return std::find(texts.begin(), texts.end(), word) != texts.end();
  };
  if (among(conversion_.trueTexts)) return true;
  if (among(conversion_.falseTexts)) return false;
  return std::nullopt;
}

bool TypedColumn::appendDate32(std::string_view text) {
  const std::optional<std::int32_t> days = parseDate32(prepared(text), conversion_.layout);
  if (days) put(*days);
  return days.has_value();
}

bool TypedColumn::appendTimestamp(std::string_view text) {
  const bool zoned = conversion_.kind == CellKind::kTimestampUtc;
  const std::optional<std::int64_t> micros =
      parseTimestamp(prepared(text), conversion_.layout, zoned);
  if (micros) put(*micros);
  return micros.has_value();
}

std::size_t TypedColumn::textBytes(const std::vector<std::string_view>& cells) const {
  if (!hasOffsets() && conversion_.kind != CellKind::kTextView) return 0;
  std::size_t bytes = 0;
  for (const std::string_view cell : cells) bytes += textBytes(cell);
  return bytes;
}

bool TypedColumn::hasOffsets() const {
  return conversion_.kind == CellKind::kLargeText || conversion_.kind == CellKind::kText;
}

// Of a value, or for text of an offset; kBool's are bits.
std::size_t TypedColumn::valueBytes() const {
  switch (conversion_.kind) {
    case CellKind::kText:
    case CellKind::kDate32:
      return 4;
    case CellKind::kBool:
      return 0;
    case CellKind::kTextView:
      return sizeof(ArrowBinaryView);
    default:
      return 8;
  }
}

}  // namespace quorvel
