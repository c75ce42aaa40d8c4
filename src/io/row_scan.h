// Where rows start in a piece of a CSV input, for a caller that counts byte
// ranges of one file apart: the quote parity of a piece, and the tokenizer's
// own state after a piece, carried from one piece to the next as a number.
//
//   QuoteParity parity = scanQuotes(data, size);  // quotes, first row starts
//   int state = followRows(data, size, ',', kRowStart);  // == kRowEnd: ends a row
#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "parser.hpp"

namespace quorvel {

// The quotes of a piece, and its first row start (the offset just past a
// line end, never between a CR and its LF) after an even and after an odd
// number of its quotes; by parity alone, each quote toggling. A CR that ends
// the piece counts as a line end: the caller holds one back until it knows
// the byte after it.
struct QuoteParity {
  std::size_t quotes = 0;
  std::optional<std::size_t> afterEven;
  std::optional<std::size_t> afterOdd;
};

inline QuoteParity scanQuotes(const char* data, std::size_t size) {
  QuoteParity found;
  for (std::size_t at = 0; at < size;) {
    at += csv_detail::find_first_of3(data + at, data + size, '"', '\r', '\n');
    if (at == size) break;
    const char c = data[at++];
    if (c == '"') {
      ++found.quotes;
      continue;
    }
    if (c == '\r' && at < size && data[at] == '\n') ++at;
    auto& first = found.quotes % 2 == 0 ? found.afterEven : found.afterOdd;
    if (!first) first = at;
  }
  return found;
}

// The tokenizer's state between pieces: a CsvScanner::State, plus kAfterCr
// when a CR ended the last piece and an LF next would belong to it.
constexpr int kRowStart = static_cast<int>(CsvScanner::State::START_OF_FIELD);
constexpr int kRowEnd = static_cast<int>(CsvScanner::State::END_OF_ROW);
constexpr int kAfterCr = 8;

// The state after `size` bytes fed to the tokenizer in `state`; the scanner
// keeps no setter, so the bytes that bring a fresh one to that state are fed
// first. Throws std::invalid_argument for a number no state gives.
inline int followRows(const char* data, std::size_t size, char delimiter, int state) {
  using State = CsvScanner::State;
  static constexpr std::string_view kReplay[] = {"", "x", "\"", "\"\"", "\n"};
  const bool afterCr = state == (kRowEnd | kAfterCr);
  if (!afterCr && (state < 0 || state > kRowEnd)) {
    throw std::invalid_argument("not a state of the row scan: " + std::to_string(state));
  }
  const int inField = static_cast<int>(State::IN_FIELD);
  const bool quoted = state == static_cast<int>(State::IN_QUOTED_FIELD);
  if (size > 1 && !quoted && std::memchr(data, '"', size) == nullptr) {
    // Outside quotes and with no quote to open any, the bytes leave the tokenizer as their
    // last byte leaves a field: at the start of the next, past a row's end, or in a field.
    // Most pieces are such, and this skips tokenizing them field by field.
    return followRows(data + size - 1, 1, delimiter, inField);
  }
  Dialect dialect;
  dialect.delimiter = delimiter;
  CsvScanner scanner(dialect);
  std::string field;
  const auto feed = [&](const char* bytes, std::size_t count) {
    std::size_t cursor = 0;
    while (scanner.scan(bytes, cursor, count, field) != CsvScanner::Step::MORE) field.clear();
    field.clear();
  };
  const std::string_view replay = afterCr ? std::string_view("\r") : kReplay[state];
  feed(replay.data(), replay.size());
  feed(data, size);
  const int after = static_cast<int>(scanner.state());
  return scanner.awaits_lf() && scanner.state() == State::END_OF_ROW ? after | kAfterCr : after;
}

}  // namespace quorvel
