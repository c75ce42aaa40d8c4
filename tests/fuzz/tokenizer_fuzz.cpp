// libFuzzer target for CsvParser. Each input is read three ways, and every
// way must give the rows of the model below: a byte-at-a-time loop over the
// tokenizer's states with none of the parser's shortcuts (no input buffer, no
// scanning ahead over runs of plain bytes). The three ways are an
// std::istringstream; a stream buffer that hands the bytes out a few at a
// time, as a pipe does; and behind filler rows sized so that the parser's
// block boundary falls at a chosen offset inside the CSV, which puts a refill
// in the middle of whatever the tokenizer is doing there. (Chunks alone never
// do that: std::istream::read gathers them into whole blocks.)
//
// Input layout: byte 0 the delimiter, byte 1 the quote, byte 2 the row end
// (even: CR, LF and CR LF; odd: byte 3 alone), byte 4 the seed of the chunk
// sizes, bytes 5 and 6 the boundary offset (little-endian, taken modulo the
// CSV length plus one), and the CSV from byte 7 on.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "escaped.h"
#include "parser.hpp"

namespace {

using Row = std::vector<std::string>;
using Rows = std::vector<Row>;

struct Dialect {
  char delimiter;
  char quote;
  bool crlf;        // CR, LF and CR LF each end a row
  char terminator;  // the one byte that ends a row when crlf is false
};

struct FuzzCase {
  Dialect dialect;
  std::uint32_t chunkSeed;
  std::size_t boundaryOffset;  // CSV bytes that go into the parser's first block
  std::string csv;
};

constexpr std::size_t kHeaderSize = 7;
constexpr std::size_t kBlock = CsvParser::INPUTBUF_CAP;

FuzzCase decode(const std::uint8_t* data, std::size_t size) {
  FuzzCase c;
  c.dialect.delimiter = static_cast<char>(data[0]);
  c.dialect.quote = static_cast<char>(data[1]);
  c.dialect.crlf = (data[2] & 1) == 0;
  c.dialect.terminator = static_cast<char>(data[3]);
  c.chunkSeed = data[4];
  c.csv.assign(reinterpret_cast<const char*>(data) + kHeaderSize, size - kHeaderSize);
  const std::size_t offset = data[5] | (static_cast<std::size_t>(data[6]) << 8);
  c.boundaryOffset = std::min(offset % (c.csv.size() + 1), kBlock);
  return c;
}

// The reference tokenizer: one byte per step, one function per state, the
// tests of each state in the order the parser makes them. It works on the
// whole input at once, so it has no buffer boundary to get wrong.
class Model {
 public:
  Model(const Dialect& dialect, const std::string& input) : d_(dialect), input_(input) {}

  Rows run() {
    while (pos_ < input_.size()) step();
    finish();
    return rows_;
  }

 private:
  enum class State {
    START_OF_FIELD,    // nothing of the current field read yet
    IN_FIELD,          // inside an unquoted field
    IN_QUOTED_FIELD,   // inside quotes: only the quote byte is special
    IN_ESCAPED_QUOTE,  // just after a quote inside quotes: closing or doubled
    END_OF_ROW,        // a row end was consumed; the row is complete at the next byte
    EMPTY,             // the input is exhausted
  };

  void step() {
    switch (state_) {
      case State::START_OF_FIELD:
        return startOfField(input_[pos_++]);
      case State::IN_FIELD:
        return inField(input_[pos_++]);
      case State::IN_QUOTED_FIELD:
        return inQuotedField(input_[pos_++]);
      case State::IN_ESCAPED_QUOTE:
        return inEscapedQuote(input_[pos_++]);
      case State::END_OF_ROW:
        return endOfRow();  // the byte is not consumed: it starts the next row
      case State::EMPTY:
        return;
    }
  }

  bool isTerminator(char c) const { return d_.crlf ? c == '\r' || c == '\n' : c == d_.terminator; }

  void startOfField(char c) {
    if (isTerminator(c)) {
      endFieldAndRow(c);
    } else if (c == d_.quote) {
      state_ = State::IN_QUOTED_FIELD;
    } else if (c == d_.delimiter) {
      endField();
    } else {
      field_ += c;
      state_ = State::IN_FIELD;
    }
  }

  void inField(char c) {
    if (isTerminator(c)) {
      endFieldAndRow(c);
    } else if (c == d_.delimiter) {
      endField();
    } else {
      field_ += c;
    }
  }

  void inQuotedField(char c) {
    if (c == d_.quote) {
      state_ = State::IN_ESCAPED_QUOTE;
    } else {
      field_ += c;
    }
  }

  void inEscapedQuote(char c) {
    if (isTerminator(c)) {
      endFieldAndRow(c);
    } else if (c == d_.quote) {
      field_ += c;
      state_ = State::IN_QUOTED_FIELD;
    } else if (c == d_.delimiter) {
      endField();
    } else {
      field_ += c;
      state_ = State::IN_FIELD;
    }
  }

  void endOfRow() {
    rows_.push_back(row_);
    row_.clear();
    state_ = State::START_OF_FIELD;
  }

  void endField() {
    row_.push_back(field_);
    field_.clear();
    state_ = State::START_OF_FIELD;
  }

  // `terminator` has just been consumed; in CR LF mode an LF right after a CR
  // belongs to the same row end.
  void endFieldAndRow(char terminator) {
    if (d_.crlf && terminator == '\r' && pos_ < input_.size() && input_[pos_] == '\n') ++pos_;
    row_.push_back(field_);
    field_.clear();
    state_ = State::END_OF_ROW;
  }

  // At the end of the input a field counts only if it holds text, and a row
  // only if it holds a field: so "a," gives [a], and "" (two quotes) nothing.
  void finish() {
    if (!field_.empty()) row_.push_back(field_);
    if (!row_.empty()) rows_.push_back(row_);
    state_ = State::EMPTY;
  }

  const Dialect& d_;
  const std::string& input_;
  std::size_t pos_ = 0;
  State state_ = State::START_OF_FIELD;
  std::string field_;
  Row row_;
  Rows rows_;
};

// Hands out the bytes of `bytes`, which it does not own, in chunks of 1 to
// `maxChunk` bytes, as a pipe or a socket does. std::istream::read gathers
// them into whole blocks, so the parser must see what an std::istringstream
// would give it.
class ChunkedBuf : public std::streambuf {
 public:
  ChunkedBuf(std::string& bytes, std::uint32_t seed, std::size_t maxChunk)
      : bytes_(bytes), rng_(seed | 1), maxChunk_(maxChunk) {}

 protected:
  int_type underflow() override {
    if (gptr() != egptr()) return traits_type::to_int_type(*gptr());
    if (next_ == bytes_.size()) return traits_type::eof();
    const std::size_t n = std::min<std::size_t>(1 + random() % maxChunk_, bytes_.size() - next_);
    char* begin = &bytes_[next_];
    setg(begin, begin, begin + n);
    next_ += n;
    return traits_type::to_int_type(*begin);
  }

 private:
  std::uint32_t random() {  // xorshift32: cheap, and the same chunks for the same input
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 17;
    rng_ ^= rng_ << 5;
    return rng_;
  }

  std::string& bytes_;
  std::size_t next_ = 0;
  std::uint32_t rng_;
  std::size_t maxChunk_;
};

// Writes `length` bytes of filler rows into `bytes` and returns their rows.
// Put in front of the CSV they move the parser's block boundary to
// `kBlock - length` bytes into the CSV, and since the tokenizer is at the start
// of a row after them, just as at the start of the input, the rows of the whole
// are theirs followed by the CSV's own. Each is a plain field of under 1000
// bytes and a terminator: short rows keep every allocation small, which spares
// the fuzzer a fresh mapping of pages for each input.
Rows fillerRows(std::size_t length, const Dialect& d, std::string& bytes) {
  char filler = 'x';
  while (filler == d.delimiter || filler == d.quote || filler == d.terminator) ++filler;
  const char terminator = d.crlf ? '\n' : d.terminator;
  Rows rows;
  bytes.clear();
  for (std::size_t left = length; left > 0;) {
    const std::size_t n = std::min<std::size_t>(left, 1000);
    rows.push_back(Row{std::string(n - 1, filler)});
    bytes.append(n - 1, filler);
    bytes += terminator;
    left -= n;
  }
  return rows;
}

std::string describe(const Row& row) {
  std::string out;
  for (const std::string& field : row) out += "[" + escaped(field, 80) + "]";
  return out;
}

[[noreturn]] void fail(const char* way, const FuzzCase& c, const std::string& what) {
  std::fprintf(
      stderr,
      "\ntokenizer_fuzz: %s: %s\n  delimiter \\x%02x, quote \\x%02x, row end %s\n"
      "  boundary offset %zu\n  csv \"%s\"\n",
      way, what.c_str(), static_cast<unsigned char>(c.dialect.delimiter),
      static_cast<unsigned char>(c.dialect.quote),
      c.dialect.crlf ? "CR/LF/CR LF" : escaped(std::string(1, c.dialect.terminator)).c_str(),
      c.boundaryOffset, escaped(c.csv).c_str());
  std::abort();
}

void expectRows(const char* way, const FuzzCase& c, const Rows& expected, const Rows& actual) {
  const std::size_t common = std::min(expected.size(), actual.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (expected[i] != actual[i]) {
      fail(way, c,
           "row " + std::to_string(i) + " is " + describe(actual[i]) + ", the model gives " +
               describe(expected[i]));
    }
  }
  if (expected.size() != actual.size()) {
    fail(way, c,
         std::to_string(actual.size()) + " rows, the model gives " +
             std::to_string(expected.size()));
  }
}

Rows parse(std::istream& input, const Dialect& d, const char* way, const FuzzCase& c) {
  CsvParser parser(input);
  parser.delimiter(d.delimiter).quote(d.quote);
  if (!d.crlf) parser.terminator(d.terminator);
  Rows rows;
  for (const Row& row : parser) rows.push_back(row);
  // Once the rows are done the parser is exhausted for good.
  if (!parser.empty() || parser.next_field().type != FieldType::CSV_END ||
      parser.next_field().type != FieldType::CSV_END) {
    fail(way, c, "the parser is not exhausted after its last row");
  }
  return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeaderSize) return 0;
  const FuzzCase c = decode(data, size);
  const Rows expected = Model(c.dialect, c.csv).run();

  std::istringstream whole(c.csv);
  expectRows("istringstream", c, expected, parse(whole, c.dialect, "istringstream", c));

  std::string csv = c.csv;
  ChunkedBuf chunks(csv, c.chunkSeed, 16);
  std::istream chunked(&chunks);
  expectRows("chunked", c, expected, parse(chunked, c.dialect, "chunked", c));

  // Kept from input to input, so that its capacity is reused.
  static std::string shifted;
  Rows shiftedRows = fillerRows(kBlock - c.boundaryOffset, c.dialect, shifted);
  shifted += c.csv;
  shiftedRows.insert(shiftedRows.end(), expected.begin(), expected.end());
  ChunkedBuf shiftedChunks(shifted, c.chunkSeed, 4096);
  std::istream across(&shiftedChunks);
  expectRows("across a block boundary", c, shiftedRows,
             parse(across, c.dialect, "across a block boundary", c));
  return 0;
}
