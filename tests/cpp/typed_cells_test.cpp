// Tests of the typed cells: one table per parser, each case a text and the
// value it reads as ("-" for a misfit), dates and date-times written as UTC
// text and checked through timegm(), an oracle apart from the parsers'
// arithmetic, and the ISO ones read at fixed places held against the field
// reader; the whitespace that trimming takes; and a column appending
// null texts, misfits, padded, grouped and absent cells to an Arrow array.
#include "load/typed_cells.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "load/typed_cells_internal.h"
#include "nanoarrow.h"

namespace {

using quorvel::CellConversion;
using quorvel::CellKind;
using quorvel::DateLayout;
using quorvel::TypedColumn;
using ::testing::StrEq;
using ::testing::ThrowsMessage;
using namespace std::string_literals;
using namespace std::string_view_literals;

constexpr const char* kMisfit = "-";

template <typename Value>
std::string Shown(const std::optional<Value>& value) {
  return value ? std::to_string(*value) : kMisfit;
}

// Microseconds since 1970 of "YYYY-MM-DD HH:MM:SS.ffffff" (UTC), by timegm.
std::int64_t MicrosOf(const std::string& utc) {
  std::tm tm{};
  int micros = 0;
  EXPECT_EQ(std::sscanf(utc.c_str(), "%d-%d-%d %d:%d:%d.%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                        &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &micros),
            7)
      << utc;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return std::int64_t{timegm(&tm)} * 1000000 + micros;
}

std::string ExpectedDays(const char* date) {
  if (std::string(date) == kMisfit) return kMisfit;
  return std::to_string(MicrosOf(date + " 00:00:00.0"s) / (std::int64_t{86400} * 1000000));
}

std::string ExpectedMicros(const char* utc) {
  return std::string(utc) == kMisfit ? kMisfit : std::to_string(MicrosOf(utc));
}

struct Case {
  const char* text;
  const char* read;
};

TEST(ParseInt64, ReadsSignedDigitsWithinInt64) {
  const Case cases[] = {
      {"0", "0"},
      {"-0", "0"},
      {"+5", "5"},
      {"-5", "-5"},
      {"007", "7"},
      {"9223372036854775807", "9223372036854775807"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"9223372036854775808", kMisfit},
      {"-9223372036854775809", kMisfit},
      {"99999999999999999999999999999999", kMisfit},
      {"0000000000000000000000000000000042", "42"},
      {"", kMisfit},
      {"+", kMisfit},
      {"-", kMisfit},
      {"+-5", kMisfit},
      {"--5", kMisfit},
      {"1e5", kMisfit},
      {"1.0", kMisfit},
      {" 5", kMisfit},
      {"5 ", kMisfit},
      {"0x10", kMisfit},
      {"1,000", kMisfit},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Shown(quorvel::parseInt64(c.text)), c.read) << c.text;
  }
  EXPECT_EQ(Shown(quorvel::parseInt64("5\0"s)), kMisfit);  // a NUL is no digit
}

// Doubles written with 17 significant digits, which tell every two apart.
std::string ShownDouble(const std::optional<double>& value) {
  if (!value) return kMisfit;
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", *value);
  return text;
}

TEST(ParseFloat64, RoundsDecimalsToTheNearestDoubleAndRefusesInfinity) {
  const Case cases[] = {
      {"1.5", "1.5"},
      {"+1.5", "1.5"},
      {"-1.5", "-1.5"},
      {"1.", "1"},
      {".5", "0.5"},
      {"1.e2", "100"},
      {"1E5", "100000"},
      {"1e+5", "100000"},
      {"0.1", "0.10000000000000001"},
      {"9007199254740993", "9007199254740992"},  // halfway: to even
      {"1.7976931348623157e308", "1.7976931348623157e+308"},
      {"1.7976931348623159e308", kMisfit},  // rounds to infinity
      {"1e400", kMisfit},
      {"1e99999999999999999999", kMisfit},
      {"100000000000000000000000000000000000000e-30", "100000000"},
      {"4e-320", "3.999955468730732e-320"},
      {"2.4703282292062328e-324", "4.9406564584124654e-324"},
      {"2.4703282292062327e-324", "0"},
      {"1e-400", "0"},
      {"0.0000000000000000001e-99999999999", "0"},
      {"0e999999", "0"},
      {"", kMisfit},
      {".", kMisfit},
      {"e5", kMisfit},
      {"1e", kMisfit},
      {"1e+", kMisfit},
      {"inf", kMisfit},
      {"nan", kMisfit},
      {"0x1p3", kMisfit},
      {"1.5.", kMisfit},
      {"+-1", kMisfit},
      {" 1", kMisfit},
      {"1_0", kMisfit},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ShownDouble(quorvel::parseFloat64(c.text)), c.read) << c.text;
  }
}

TEST(ParseFloat64, KeepsTheSignOfAZeroBelowTheLeastDouble) {
  EXPECT_TRUE(std::signbit(quorvel::parseFloat64("-1e-400").value()));
  EXPECT_FALSE(std::signbit(quorvel::parseFloat64("1e-400").value()));
  EXPECT_TRUE(std::signbit(quorvel::parseFloat64("-0").value()));
}

// A random decimal of 1 to `mostDigits` digits, a point anywhere or none, and
// (when `exponents`) an exponent of 0 to 3 digits or none: on both sides of
// the fast paths' limits (15 significant digits, powers of ten to 22), with
// leading and trailing zeros, subnormals and numbers past the doubles' range.
std::string RandomDecimal(std::mt19937_64& random, std::size_t mostDigits = 25,
                          bool exponents = true) {
  std::string text = random() % 3 == 0 ? "-" : random() % 8 == 0 ? "+" : "";
  const std::size_t digits = 1 + random() % mostDigits;
  const std::size_t point = random() % (digits + 2);  // past the digits: none
  for (std::size_t i = 0; i < digits; ++i) {
    if (i == point) text += '.';
    // Runs of zeros, as in 0.000123 and 1200000.
    text += random() % 4 == 0 ? '0' : static_cast<char>('0' + random() % 10);
  }
  if (point == digits) text += '.';
  if (exponents && random() % 2 == 0) {
    text += random() % 2 == 0 ? "e" : "E";
    text += random() % 2 == 0 ? "-" : random() % 4 == 0 ? "+" : "";
    text += std::to_string(random() % (random() % 2 == 0 ? 30 : 400));
  }
  return text;
}

// Against glibc's strtod, which rounds correctly, bit for bit (a zero's sign too).
TEST(ParseFloat64, ReadsRandomDecimalsAsStrtodDoes) {
  std::mt19937_64 random(11);
  for (int round = 0; round < 400000; ++round) {
    const std::string text = RandomDecimal(random);
    const double expected = std::strtod(text.c_str(), nullptr);
    const std::optional<double> read = quorvel::parseFloat64(text);
    if (std::isinf(expected)) {
      ASSERT_FALSE(read) << text;
      continue;
    }
    ASSERT_TRUE(read) << text;
    ASSERT_EQ(std::memcmp(&*read, &expected, sizeof expected), 0)
        << text << ": " << ShownDouble(read) << " " << ShownDouble(expected);
  }
}

// Decimals without an exponent, as most files write them, of 1 to 17 digits:
// on both sides of the one-pass reader's 15, a point anywhere or none.
TEST(ParseFloat64, ReadsDecimalsWithoutExponentAsStrtodDoes) {
  std::mt19937_64 random(5);
  for (int round = 0; round < 200000; ++round) {
    const std::string text = RandomDecimal(random, 17, /*exponents=*/false);
    const double expected = std::strtod(text.c_str(), nullptr);
    const std::optional<double> read = quorvel::parseFloat64(text);
    ASSERT_TRUE(read) << text;
    ASSERT_EQ(std::memcmp(&*read, &expected, sizeof expected), 0)
        << text << ": " << ShownDouble(read) << " " << ShownDouble(expected);
  }
}

TEST(ParseFloat64, ReadsTheFastPathsEdgesAsStrtodDoes) {
  const char* const texts[] = {"999999999999999",
                               "9999999999999999",
                               "123456789012345e22",
                               "123456789012345e23",
                               "1e-22",
                               "1e-23",
                               "0.000000000000000000000000001",
                               "-0.0",
                               "-0e-999",
                               "4503599627370497.5",
                               "1e22",
                               "1e23",
                               "8.98846567431158e307",
                               "2.2250738585072014e-308",
                               "4.9406564584124654e-324",
                               "000000000000000000001.5"};
  for (const char* text : texts) {
    const double expected = std::strtod(text, nullptr);
    const double read = quorvel::parseFloat64(text).value();
    EXPECT_EQ(std::memcmp(&read, &expected, sizeof read), 0) << text;
  }
}

// Against from_chars, on both sides of eighteen digits and at int64's ends.
TEST(ParseInt64, ReadsRandomIntegersAsFromCharsDoes) {
  std::mt19937_64 random(13);
  const std::string edges[] = {"9223372036854775807",  "9223372036854775808",
                               "-9223372036854775808", "-9223372036854775809",
                               "+9223372036854775807", "999999999999999999",
                               "-999999999999999999",  "0000000000000000000000001",
                               "18446744073709551616", "-0"};
  std::vector<std::string> texts(std::begin(edges), std::end(edges));
  for (int round = 0; round < 200000; ++round) {
    std::string text = random() % 2 == 0 ? "-" : random() % 8 == 0 ? "+" : "";
    const std::size_t digits = 1 + random() % 21;
    for (std::size_t i = 0; i < digits; ++i) text += static_cast<char>('0' + random() % 10);
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    const std::string unsigned_text = text.substr(text[0] == '+' ? 1 : 0);
    std::int64_t expected = 0;
    const auto result = std::from_chars(unsigned_text.data(),
                                        unsigned_text.data() + unsigned_text.size(), expected);
    const std::optional<std::int64_t> read = quorvel::parseInt64(text);
    ASSERT_EQ(read.has_value(), result.ec == std::errc()) << text;
    if (read) {
      ASSERT_EQ(*read, expected) << text;
    }
  }
}

struct DateCase {
  const char* text;
  DateLayout layout;
  const char* date;  // YYYY-MM-DD, or "-"
};

TEST(ParseDate32, ReadsCalendarDatesOfEachLayout) {
  const DateCase cases[] = {
      {"2024-01-31", DateLayout::kIso, "2024-01-31"},
      {"1970-01-01", DateLayout::kIso, "1970-01-01"},
      {"1969-12-31", DateLayout::kIso, "1969-12-31"},
      {"0001-01-01", DateLayout::kIso, "0001-01-01"},
      {"9999-12-31", DateLayout::kIso, "9999-12-31"},
      {"2020-02-29", DateLayout::kIso, "2020-02-29"},
      {"2000-02-29", DateLayout::kIso, "2000-02-29"},
      {"2021-02-29", DateLayout::kIso, kMisfit},
      {"1900-02-29", DateLayout::kIso, kMisfit},
      {"2021-02-30", DateLayout::kIso, kMisfit},
      {"2021-04-31", DateLayout::kIso, kMisfit},
      {"2021-00-01", DateLayout::kIso, kMisfit},
      {"2021-13-01", DateLayout::kIso, kMisfit},
      {"2021-01-00", DateLayout::kIso, kMisfit},
      {"0000-01-01", DateLayout::kIso, kMisfit},
      {"2021-1-01", DateLayout::kIso, kMisfit},
      {"2021-01-01 ", DateLayout::kIso, kMisfit},
      {"2021-01-01T00:00", DateLayout::kIso, kMisfit},
      {"12021-01-01", DateLayout::kIso, kMisfit},
      {"01/31/2024", DateLayout::kMonthDayYear, "2024-01-31"},
      {"1/3/2024", DateLayout::kMonthDayYear, "2024-01-03"},
      {"31/01/2024", DateLayout::kMonthDayYear, kMisfit},
      {"02/30/2024", DateLayout::kMonthDayYear, kMisfit},
      {"02/29/2023", DateLayout::kMonthDayYear, kMisfit},
      {"01/31/24", DateLayout::kMonthDayYear, kMisfit},
      {"01/31/02024", DateLayout::kMonthDayYear, kMisfit},
      {"001/31/2024", DateLayout::kMonthDayYear, kMisfit},
      {"01/31/0000", DateLayout::kMonthDayYear, kMisfit},
      {" 01/31/2024", DateLayout::kMonthDayYear, kMisfit},
      {"01/ 3/2024", DateLayout::kMonthDayYear, kMisfit},
      {"31/01/2024", DateLayout::kDayMonthYear, "2024-01-31"},
      {"3/1/2024", DateLayout::kDayMonthYear, "2024-01-03"},
      {"01/31/2024", DateLayout::kDayMonthYear, kMisfit},
      {"2024/01/31", DateLayout::kYearMonthDay, "2024-01-31"},
      {"2024/1/3", DateLayout::kYearMonthDay, "2024-01-03"},
      {"2024/02/30", DateLayout::kYearMonthDay, kMisfit},
      {"24/01/31", DateLayout::kYearMonthDay, kMisfit},
      {"2024-01-31", DateLayout::kYearMonthDay, kMisfit},
  };
  for (const DateCase& c : cases) {
    EXPECT_EQ(Shown(quorvel::parseDate32(c.text, c.layout)), ExpectedDays(c.date)) << c.text;
  }
}

struct StampCase {
  const char* text;
  DateLayout layout;
  bool zoned;
  const char* utc;  // YYYY-MM-DD HH:MM:SS.ffffff, or "-"
};

TEST(ParseTimestamp, ReadsDateTimesAndTheirZones) {
  constexpr DateLayout kIso = DateLayout::kIso;
  const StampCase cases[] = {
      {"2021-01-01T10:11", kIso, false, "2021-01-01 10:11:00.0"},
      {"2021-01-01 10:11:12", kIso, false, "2021-01-01 10:11:12.0"},
      {"2021-01-01T10:11:12.1", kIso, false, "2021-01-01 10:11:12.100000"},
      {"2021-01-01T10:11:12.123456", kIso, false, "2021-01-01 10:11:12.123456"},
      {"1969-12-31T23:59:59.999999", kIso, false, "1969-12-31 23:59:59.999999"},
      {"0001-01-01T00:00", kIso, false, "0001-01-01 00:00:00.0"},
      {"2021-01-01T10:11:12.1234567", kIso, false, kMisfit},
      {"2021-01-01T10:11:12.", kIso, false, kMisfit},
      {"2021-01-01T10:11.5", kIso, false, kMisfit},
      {"2021-01-01T24:00", kIso, false, kMisfit},
      {"2021-01-01T23:60", kIso, false, kMisfit},
      {"2021-01-01T23:59:60", kIso, false, kMisfit},
      {"2021-02-30T00:00", kIso, false, kMisfit},
      {"0000-01-01T00:00", kIso, false, kMisfit},
      {"2021-01-01t10:11", kIso, false, kMisfit},
      {"2021-01-01T1:11", kIso, false, kMisfit},
      {"2021-01-01", kIso, false, kMisfit},
      {"2021-01-01T10:11Z", kIso, false, kMisfit},
      {"2021-01-01T10:11Z", kIso, true, "2021-01-01 10:11:00.0"},
      {"2021-01-01T00:00+01:00", kIso, true, "2020-12-31 23:00:00.0"},
      {"2021-01-01T00:00-0130", kIso, true, "2021-01-01 01:30:00.0"},
      {"2021-01-01T00:00+2359", kIso, true, "2020-12-31 00:01:00.0"},
      {"2021-01-01T00:00:00.123456+05:30", kIso, true, "2020-12-31 18:30:00.123456"},
      {"9999-12-31T23:59-01:00", kIso, true, "10000-01-01 00:59:00.0"},
      {"2021-01-01T00:00+2400", kIso, true, kMisfit},
      {"2021-01-01T00:00+0060", kIso, true, kMisfit},
      {"2021-01-01T00:00+00", kIso, true, kMisfit},
      {"2021-01-01T00:00+0:00", kIso, true, kMisfit},
      {"2021-01-01T00:00", kIso, true, kMisfit},
      {"2021-01-01T00:00z", kIso, true, kMisfit},
      {"2024/01/31 10:11:12", DateLayout::kYearMonthDaySeconds, false, "2024-01-31 10:11:12.0"},
      {"2024/1/3 1:2:3", DateLayout::kYearMonthDaySeconds, false, "2024-01-03 01:02:03.0"},
      {"2024/01/31 23:59:60", DateLayout::kYearMonthDaySeconds, false, kMisfit},
      {"2024/01/31 24:00:00", DateLayout::kYearMonthDaySeconds, false, kMisfit},
      {"2024/01/31 10:11", DateLayout::kYearMonthDaySeconds, false, kMisfit},
      {"2024/01/31  10:11:12", DateLayout::kYearMonthDaySeconds, false, kMisfit},
      {"2024/01/31T10:11:12", DateLayout::kYearMonthDaySeconds, false, kMisfit},
      {"2024/01/31 10:11", DateLayout::kYearMonthDayMinutes, false, "2024-01-31 10:11:00.0"},
      {"2024/01/31 10:11:12", DateLayout::kYearMonthDayMinutes, false, kMisfit},
      {"2024/02/30 10:11", DateLayout::kYearMonthDayMinutes, false, kMisfit},
  };
  for (const StampCase& c : cases) {
    EXPECT_EQ(Shown(quorvel::parseTimestamp(c.text, c.layout, c.zoned)), ExpectedMicros(c.utc))
        << c.text;
  }
}

// Every "YYYY-MM-DD" of the years 0 to 9999, months 0 to 13 and days 0 to 32:
// the fixed-place reader settles each valid date, as the field reader reads
// it and one day after the valid date before, and leaves the others to it.
TEST(ParseDate32, ReadsEveryDayOfTheYears1To9999AtFixedPlaces) {
  constexpr std::int32_t kFirstDay = -719162;  // 0001-01-01
  constexpr std::int32_t kDaysOfYears1To9999 = 3652059;
  std::int32_t next = kFirstDay;
  char text[] = "YYYY-MM-DD";
  const auto put = [](char* at, int value, int digits) {
    for (int i = digits - 1; i >= 0; --i, value /= 10) at[i] = static_cast<char>('0' + value % 10);
  };
  for (int year = 0; year <= 9999; ++year) {
    put(text, year, 4);
    for (int month = 0; month <= 13; ++month) {
      put(text + 5, month, 2);
      for (int day = 0; day <= 32; ++day) {
        put(text + 8, day, 2);
        const std::optional<std::int32_t> fast = quorvel::internal::isoDateAtFixedPlaces(text);
        const std::optional<std::int32_t> byFields =
            quorvel::internal::dateByFields(text, DateLayout::kIso);
        ASSERT_TRUE(fast == byFields) << text;
        ASSERT_TRUE(quorvel::parseDate32(text, DateLayout::kIso) == byFields) << text;
        if (fast) {
          ASSERT_EQ(*fast, next++) << text;
        }
      }
    }
  }
  EXPECT_EQ(next - kFirstDay, kDaysOfYears1To9999);
}

// A date-time of the ISO layout, often a field off its place or out of range.
std::string RandomIsoStamp(std::mt19937_64& random) {
  const auto pick = [&random](std::initializer_list<const char*> texts) {
    return std::string(texts.begin()[random() % texts.size()]);
  };
  std::string text = pick({"2021-01-01", "2020-02-29", "2021-02-29", "2021-02-30", "0001-01-01",
                           "9999-12-31", "0000-01-01", "1969-12-31", "2021-13-01", "2021-1-01",
                           "2021-01x01", "2021x01-01", "+021-01-01"});
  text += pick({"T", "T", " ", "t", ""});
  text += pick({"00", "09", "23", "24", "1", "0a"}) + ":" + pick({"00", "59", "60", "5"});
  text += pick({"", ":00", ":59", ":60", ":5", ":"});
  if (random() % 2 == 0) {
    text += '.';
    for (std::size_t digits = random() % 9; digits > 0; --digits)
      text += static_cast<char>('0' + random() % 10);
  }
  text += pick({"", "", "Z", "z", "+00:00", "-01:30", "+2359", "-2400", "+0060", "+05", "+05:3",
                "+05:300", "-12:00", "+12-00", " "});
  return text;
}

// The fixed-place reader settles every valid ISO date-time, zoned or not, as
// the field reader reads it, which still decides the misfits.
TEST(ParseTimestamp, ReadsIsoDateTimesAtFixedPlacesAsTheFieldReaderDoes) {
  std::mt19937_64 random(7);
  int settled[2] = {0, 0};
  for (int i = 0; i < 200000; ++i) {
    const std::string text = RandomIsoStamp(random);
    for (const bool zoned : {false, true}) {
      const std::optional<std::int64_t> fast =
          quorvel::internal::isoTimestampAtFixedPlaces(text, zoned);
      const std::optional<std::int64_t> byFields =
          quorvel::internal::timestampByFields(text, DateLayout::kIso, zoned);
      ASSERT_TRUE(fast == byFields) << text << (zoned ? " zoned" : "");
      ASSERT_TRUE(quorvel::parseTimestamp(text, DateLayout::kIso, zoned) == byFields) << text;
      settled[zoned] += fast.has_value();
    }
  }
  // Valid date-times of either kind are drawn hundreds of times.
  EXPECT_GT(settled[false], 300);
  EXPECT_GT(settled[true], 300);
}

TEST(TrimWhitespace, TakesUnicodeSpacesAtEitherEndOnly) {
  const Case cases[] = {
      {" \t\n\v\f\r1 \x1c\x1d\x1e\x1f", "1"},
      {"\xc2\xa0"
       "1\xc2\x85",
       "1"},
      {"\xe1\x9a\x80\xe2\x80\x80\xe2\x80\x8a"
       "1\xe2\x80\xa8\xe2\x80\xa9",
       "1"},
      {"\xe2\x80\xaf\xe2\x81\x9f\xe3\x80\x80"
       "1",
       "1"},
      {"1 2", "1 2"},
      {"\xe2\x80\x8b"
       "1",
       "\xe2\x80\x8b"
       "1"},  // U+200B is no space to Unicode
      {"1\xc2\xa1", "1\xc2\xa1"},
      {"\x08"
       "1",
       "\x08"
       "1"},
      {"   ", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(quorvel::trimWhitespace(c.text), c.read) << c.text;
}

TEST(CellKindNamed, KnowsOnlyTheTypesOfTheMeanings) {
  EXPECT_EQ(quorvel::cellKindNamed("timestamp[us, tz=UTC]"), CellKind::kTimestampUtc);
  EXPECT_EQ(quorvel::dateLayoutOf("%d/%m/%Y"), DateLayout::kDayMonthYear);
  EXPECT_THAT([] { quorvel::cellKindNamed("int32"); },
              ThrowsMessage<std::invalid_argument>(StrEq("no conversion to the Arrow type int32")));
  EXPECT_THAT([] { quorvel::dateLayoutOf("%Y"); },
              ThrowsMessage<std::invalid_argument>(StrEq("no date layout of the format %Y")));
}

CellConversion ConversionOf(CellKind kind, std::vector<std::string> nullTexts, bool padded = false,
                            bool grouped = false, DateLayout layout = DateLayout::kIso) {
  CellConversion conversion;
  conversion.kind = kind;
  conversion.nullTexts = std::move(nullTexts);
  conversion.padded = padded;
  conversion.grouped = grouped;
  conversion.layout = layout;
  return conversion;
}

// A column's cells appended (a null data() for an absent one), rendered as
// its values: "." for a null, "!" after the value of each reported misfit.
// The cells before `split` go in one call, the others in a second.
std::string AppendedViews(const CellConversion& conversion,
                          const std::vector<std::string_view>& cells, bool utf8 = true,
                          std::size_t split = 0) {
  TypedColumn column(conversion);
  ArrowSchema schema;
  ArrowSchemaInit(&schema);
  column.setType(&schema);
  ArrowArray array;
  EXPECT_EQ(ArrowArrayInitFromSchema(&array, &schema, nullptr), NANOARROW_OK);
  EXPECT_EQ(ArrowArrayStartAppending(&array), NANOARROW_OK);
  std::size_t textBytes = 0;
  for (const std::string_view cell : cells) textBytes += column.textBytes(cell);
  column.begin(&array, static_cast<std::int64_t>(cells.size()), textBytes);
  std::vector<bool> fits(cells.size(), true);
  for (const auto& [from, to] : {std::pair{std::size_t{0}, split}, {split, cells.size()}}) {
    const std::vector<std::string_view> views(cells.begin() + static_cast<std::ptrdiff_t>(from),
                                              cells.begin() + static_cast<std::ptrdiff_t>(to));
    std::vector<std::uint32_t> misfits;
    column.appendCells(views, misfits);
    for (const std::uint32_t i : misfits) fits[from + i] = false;
  }
  EXPECT_EQ(column.finish(), utf8);
  EXPECT_EQ(ArrowArrayFinishBuildingDefault(&array, nullptr), NANOARROW_OK);
  ArrowArrayView view;
  EXPECT_EQ(ArrowArrayViewInitFromSchema(&view, &schema, nullptr), NANOARROW_OK);
  EXPECT_EQ(ArrowArrayViewSetArray(&view, &array, nullptr), NANOARROW_OK);
  std::string shown;
  for (std::int64_t i = 0; i < array.length; ++i) {
    if (i > 0) shown += ",";
    if (ArrowArrayViewIsNull(&view, i)) {
      shown += ".";
    } else if (conversion.kind == CellKind::kFloat64) {
      shown += ShownDouble(ArrowArrayViewGetDoubleUnsafe(&view, i));
    } else if (conversion.kind == CellKind::kText || conversion.kind == CellKind::kLargeText ||
               conversion.kind == CellKind::kTextView) {
      const ArrowStringView text = ArrowArrayViewGetStringUnsafe(&view, i);
      shown += "[" + std::string(text.data, static_cast<std::size_t>(text.size_bytes)) + "]";
    } else {
      shown += std::to_string(ArrowArrayViewGetIntUnsafe(&view, i));
    }
    if (!fits[static_cast<std::size_t>(i)]) shown += "!";
  }
  ArrowArrayViewReset(&view);
  array.release(&array);
  schema.release(&schema);
  return shown;
}

// The same, of NUL-terminated cells, nullptr for an absent one.
std::string Appended(const CellConversion& conversion, const std::vector<const char*>& cells,
                     bool utf8 = true, std::size_t split = 0) {
  std::vector<std::string_view> views;
  for (const char* cell : cells) {
    views.push_back(cell == nullptr ? std::string_view() : std::string_view(cell));
  }
  return AppendedViews(conversion, views, utf8, split);
}

TEST(TypedColumn, NullsNullTextsAndAbsentCellsAndReportsOnlyWrittenMisfits) {
  const CellConversion integers = ConversionOf(CellKind::kInt64, {"", "NA"});
  EXPECT_EQ(Appended(integers, {"1", "", "NA", nullptr, "x", " 2", "na"}), "1,.,.,.,.!,.!,.!");
  // The null texts are matched as written, before the trimming.
  const CellConversion padded = ConversionOf(CellKind::kInt64, {"NA"}, /*padded=*/true);
  EXPECT_EQ(Appended(padded, {" NA",
                              "\xc2\xa0"
                              "7\t",
                              "NA", ""}),
            ".!,7,.,.!");
}

// A batch's cells in two calls make the array one call makes, wherever the
// second starts: after a null, a misfit, an absent cell or a text.
TEST(TypedColumn, AppendsABatchInSeveralCallsAsInOne) {
  const std::vector<const char*> cells = {"1", "NA", "x", nullptr, "22", "", "333"};
  for (const CellKind kind : {CellKind::kInt64, CellKind::kText, CellKind::kTextView}) {
    const CellConversion conversion = ConversionOf(kind, {"NA"});
    const std::string whole = Appended(conversion, cells);
    for (std::size_t split = 1; split < cells.size(); ++split) {
      EXPECT_EQ(Appended(conversion, cells, true, split), whole) << split;
    }
  }
}

TEST(TypedColumn, TellsNullTextsByEveryByteWhateverTheirLength) {
  // Lengths and first bytes shared with cells that are no null texts; long
  // null texts, whose lengths share one bit of the filter.
  const std::string long63(63, 'x'), long70(70, 'x');
  const CellConversion integers = ConversionOf(CellKind::kInt64, {"N/A", long63, long70});
  EXPECT_EQ(Appended(integers, {"N/A", "N/B", "NAN", long63.c_str(), long70.c_str(),
                                std::string(64, 'x').c_str(), "x", "123"}),
            ".,.!,.!,.,.,.!,.!,123");
}

TEST(TypedColumn, DropsGroupCommasAfterTrimming) {
  const CellConversion grouped =
      ConversionOf(CellKind::kFloat64, {""}, /*padded=*/true, /*grouped=*/true);
  EXPECT_EQ(Appended(grouped, {"1,234.5", " 1,000 ", ",5", "5 , ", "1,,2", ","}),
            "1234.5,1000,5,.!,12,.!");
  // A cell without commas needs no copy: the scratch of the last one must not leak into it.
  EXPECT_EQ(Appended(grouped, {"9,999,999", "1"}), "9999999,1");
}

TEST(TypedColumn, ReadsTheConversionsBooleanTextsWhole) {
  CellConversion booleans = ConversionOf(CellKind::kBool, {""});
  booleans.trueTexts = {"true", "yes"};
  booleans.falseTexts = {"false", "no"};
  EXPECT_EQ(Appended(booleans, {"true", "no", "yes", "True", " true", "", "1"}),
            "1,0,1,.!,.!,.,.!");
}

// Boolean texts of up to 8 bytes are compared as words, longer ones as
// strings: a long text that no cell is makes the column compare strings, and
// both read every cell alike, those a word alone would confuse too.
TEST(TypedColumn, ReadsBooleansAsWordsAsItReadsThemAsTexts) {
  CellConversion words = ConversionOf(CellKind::kBool, {""});
  words.trueTexts = {"true", "yes", "T", "enabled!"};
  words.falseTexts = {"false", "no", "F", "true"};  // a text in both is true
  CellConversion texts = words;
  texts.falseTexts.push_back("not-a-cell-here");
  const std::vector<const char*> cells = {
      "true",    "yes",       "T",   "enabled!", "false",    "no", "F",
      "enabled", "enabled!!", "tru", "truee",    "True",     "t",  "",
      nullptr,   "ye",        "nO",  "FALSE",    "falsefal", "n",  "1"};
  const std::string read = Appended(texts, cells);
  EXPECT_EQ(read, "1,1,1,1,0,0,0,.!,.!,.!,.!,.!,.!,.,.,.!,.!,.!,.!,.!,.!");
  EXPECT_EQ(Appended(words, cells), read);
  // A NUL makes a word equal to a shorter text's: the sizes tell them apart.
  const std::vector<std::string_view> nul = {"true\0"sv, "no\0\0"sv, "T"sv};
  for (const CellConversion& conversion : {words, texts}) {
    EXPECT_EQ(AppendedViews(conversion, nul), ".!,.!,1");
  }
}

TEST(TypedColumn, KeepsTextAsWrittenWithItsNullTexts) {
  const CellConversion text = ConversionOf(CellKind::kText, {""});
  EXPECT_EQ(Appended(text, {"NA", "", " a ", nullptr}), "[NA],.,[ a ],.");
}

// The empty text as the one null text takes text without the null-text
// filter; another null text, which no cell is, puts the filter back, and
// both read every cell alike. Without null texts an empty cell is text.
TEST(TypedColumn, NullsEmptyTextCellsWithAndWithoutTheFilter) {
  const std::vector<const char*> cells = {"a", "", nullptr, " ", "NA", "", "long enough text", "b"};
  for (const CellKind kind : {CellKind::kText, CellKind::kLargeText}) {
    const std::string read = Appended(ConversionOf(kind, {""}), cells);
    EXPECT_EQ(read, "[a],.,.,[ ],[NA],.,[long enough text],[b]");
    EXPECT_EQ(Appended(ConversionOf(kind, {"", "never a cell"}), cells), read);
    EXPECT_EQ(Appended(ConversionOf(kind, {"", ""}), cells), read);
    EXPECT_EQ(Appended(ConversionOf(kind, {}), cells),
              "[a],[],.,[ ],[NA],[],[long enough text],[b]");
  }
}

TEST(TypedColumn, KeepsTextInViewsInlineOrInTheLongTextAsInOffsets) {
  // Around the 12 bytes a view holds inline, and a batch without long text.
  const std::string twelve(12, 'a'), thirteen(13, 'b'), long_(100, 'c');
  const std::vector<const char*> cells = {
      "", "NA", twelve.c_str(), nullptr, thirteen.c_str(), "x", long_.c_str(), "\xc3\xa9"};
  CellConversion views = ConversionOf(CellKind::kTextView, {""});
  const std::string expected = Appended(ConversionOf(CellKind::kText, {""}), cells);
  EXPECT_EQ(Appended(views, cells), expected);
  EXPECT_EQ(Appended(views, {"a", nullptr, "b"}), "[a],.,[b]");
}

TEST(TypedColumn, FindsTextThatIsNotUtf8InViewsAndOffsetsAlike) {
  for (const CellKind kind : {CellKind::kText, CellKind::kLargeText, CellKind::kTextView}) {
    const CellConversion text = ConversionOf(kind, {""});
    EXPECT_EQ(Appended(text, {"ok", "\xff"}, /*utf8=*/false), "[ok],[\xff]");
    const std::string longBad = std::string(20, 'z') + "\xc3";
    EXPECT_EQ(Appended(text, {longBad.c_str(), "ok"}, /*utf8=*/false), "[" + longBad + "],[ok]");
  }
}

TEST(TypedColumn, ReadsDatesAndDateTimesByItsLayout) {
  const CellConversion days =
      ConversionOf(CellKind::kDate32, {""}, false, false, DateLayout::kDayMonthYear);
  EXPECT_EQ(Appended(days, {"2/1/1970", "1/2/1970", "2021-01-01"}), "1,31,.!");
  const CellConversion utc = ConversionOf(CellKind::kTimestampUtc, {""});
  EXPECT_EQ(Appended(utc, {"1970-01-01T00:00:01Z", "1970-01-01T00:00:01"}), "1000000,.!");
}

}  // namespace
