// Chunked CSV parsing: an input held in memory is cut into chunks at likely
// row ends, each chunk is tokenized on its own, possibly on another thread,
// and the chunks are then confirmed in file order, which re-tokenizes any
// chunk whose cut fell inside a quoted field. The rows are exactly those of
// CsvParser over the whole input, because both run the same CsvScanner; only
// unquoted fields that end in whole 64-byte blocks are taken from separator
// masks instead (simd_scan.hpp), where a field's first byte tells that the
// scanner would read it as one plain run.
//
//   ChunkTokenizer chunk(parser.dialect(), columns);  chunk.feed(data, cut);
//   if (!confirm_chunk(before, chunk, data, cut, last)) { /* chunk was parsed again */ }
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "parser.hpp"

// Empties `text` (a string or vector of bytes), and gives its memory back
// when a huge field made it large: buffers reused from chunk to chunk would
// otherwise hold it to the end.
template <class Bytes>
void clear_dropping_huge_capacity(Bytes& text) {
  constexpr std::size_t kKept = std::size_t{1} << 23;
  if (text.capacity() > kKept) {
    Bytes().swap(text);
  } else {
    text.clear();
  }
}

// The rows of one chunk, kept at most `max_fields` fields wide: the fields of
// the rows that ended inside the chunk, then those of a row still open at its
// end (and what its open field holds so far), which the next chunk finishes.
//
// Contracts:
//  - feed() once after reset() or continue_from(). The text of an unquoted
//    field is not copied: text() points into the bytes fed, which must stay
//    as they are for as long as text() of a field of them is used.
//  - continue_from() copies what it takes over, so the chunk before may then
//    drop its bytes.
class ChunkTokenizer {
 public:
  ChunkTokenizer(const Dialect& dialect, std::size_t max_fields)
      : m_dialect(dialect),
        m_max_fields(max_fields),
        m_separators(csv_detail::separator_bytes(dialect)) {
    reset();
  }

  // Starts over, at a row start, on the scan path chosen now.
  void reset() {
    m_scanner = CsvScanner(m_dialect);
    m_masker = csv_detail::roles_distinct(m_dialect)
                   ? csv_detail::separator_masker(csv_detail::chosen_scan_path().load())
                   : nullptr;
    m_data = nullptr;
    clear_dropping_huge_capacity(m_texts);
    m_fields.clear();
    m_widths.clear();
    m_field_start = 0;
    m_row_text_start = 0;
    m_row_fields = 0;
    m_open_row = 0;
    m_short_rows = 0;
    m_long_rows = 0;
  }

  // Starts over where `before` ended: in its state, with its open row, which
  // `before` gives up.
  void continue_from(ChunkTokenizer& before) {
    reset();
    m_scanner = before.m_scanner;
    if (before.open_row_owns_all_text()) {
      // Moved, not copied: a huge field cut into many chunks would otherwise
      // be copied chunk after chunk.
      m_texts.swap(before.m_texts);
      m_fields.assign(before.m_fields.begin() + before.m_open_row, before.m_fields.end());
      m_field_start = before.m_field_start;
    } else {
      for (std::size_t f = before.m_open_row; f < before.m_fields.size(); ++f) {
        keep_copy(before.text(f));
      }
      m_field_start = m_texts.size();
      m_texts.append(before.m_texts, before.m_field_start, std::string::npos);
    }
    m_row_fields = before.m_row_fields;
    before.m_texts.resize(std::min(before.m_texts.size(), before.m_row_text_start));
    before.m_fields.resize(before.m_open_row);
    before.m_field_start = before.m_texts.size();
    before.m_row_fields = 0;
  }

  void feed(const char* data, std::size_t size) {
    m_data = data;
    std::size_t cursor = 0;
    for (;;) {
      if (m_masker != nullptr && m_scanner.state() == CsvScanner::State::START_OF_FIELD) {
        cursor = take_plain_fields(data, cursor, size);
      }
      switch (m_scanner.scan(data, cursor, size, m_texts)) {
        case CsvScanner::Step::FIELD:
          end_field();
          if (m_scanner.state() == CsvScanner::State::END_OF_ROW) end_row();
          break;
        case CsvScanner::Step::ROW_END:
          break;
        case CsvScanner::Step::MORE:
          return;
      }
    }
  }

  // The end of the input: the open field and row end as CsvParser ends them.
  void finish() {
    if (m_scanner.finish(m_texts.size() - m_field_start, untouched())) end_field();
    if (m_row_fields > 0) end_row();
  }

  // After finish(): whether the input ended where a row ends, as
  // CsvScanner::ended_at_row_end() tells. Tokenizing that started at a row
  // start, or went on from a chunk that ended at one, answers for the whole
  // input.
  bool ended_at_row_end() const { return m_scanner.ended_at_row_end(); }

  // Whether the next chunk, whose first byte is `next` (null when it is
  // empty), starts at a row start: right after a row's terminator, or with
  // nothing read at all since one.
  bool ends_at_row_start(const char* next) const {
    return untouched() || m_scanner.at_row_start(next);
  }

  // The rows that ended: widths() gives each row's kept fields, text(f) the
  // f-th of those fields counted across rows.
  const std::vector<std::uint32_t>& widths() const { return m_widths; }
  // Of the rows that ended, those with fewer than `max_fields` fields, and
  // those with more, whose extra fields widths() does not show.
  std::uint64_t short_rows() const { return m_short_rows; }
  std::uint64_t long_rows() const { return m_long_rows; }
  std::size_t fields() const { return m_open_row; }
  std::string_view text(std::size_t f) const {
    const Span span = m_fields[f];
    // A plain field's start needs no mask: most fields are plain.
    if (!span.owned()) return std::string_view(m_data + span.start, span.size);
    return std::string_view(m_texts.data() + span.offset(), span.size);
  }

 private:
  // Where a kept field's text is: in m_texts when the state machine read it
  // (quoted, cut by the chunk's end, or taken over from the chunk before),
  // else in the bytes fed.
  struct Span {
    static constexpr std::size_t kOwned = ~(~std::size_t{0} >> 1);
    // Built in place by emplace_back(): a span built first and copied goes through the stack.
    Span() = default;
    Span(std::size_t first, std::size_t length) : start(first), size(length) {}
    bool owned() const { return (start & kOwned) != 0; }
    std::size_t offset() const { return start & ~kOwned; }

    std::size_t start;  // offset, with kOwned when in m_texts
    std::size_t size;
  };

  // A block is walked only when a byte follows it, so that a CR at its end
  // sees whether an LF comes next.
  static constexpr std::size_t kBlock = 64;

  std::size_t take_plain_fields(const char* data, std::size_t start, std::size_t size);

  // Nothing read since a row start.
  bool untouched() const {
    return m_scanner.state() == CsvScanner::State::START_OF_FIELD && m_row_fields == 0 &&
           m_texts.size() == m_field_start;
  }

  // Only the open row's fields hold text in m_texts, so that m_texts can be
  // handed over whole.
  bool open_row_owns_all_text() const {
    return m_row_text_start == 0 && std::all_of(m_fields.begin() + m_open_row, m_fields.end(),
                                                [](const Span& span) { return span.owned(); });
  }

  void keep_copy(std::string_view text) {
    m_fields.emplace_back(m_texts.size() | Span::kOwned, text.size());
    m_texts.append(text);
  }

  // Fields beyond the kept width are dropped as soon as they end.
  void end_field() {
    if (m_row_fields < m_max_fields) {
      m_fields.emplace_back(m_field_start | Span::kOwned, m_texts.size() - m_field_start);
    } else {
      m_texts.resize(m_field_start);
    }
    ++m_row_fields;
    m_field_start = m_texts.size();
  }

  // `row_fields` stands for m_row_fields, held in a register by the caller.
  void end_plain_field(std::size_t start, std::size_t end, std::size_t& row_fields) {
    if (row_fields < m_max_fields) m_fields.emplace_back(start, end - start);
    ++row_fields;
  }

  void end_row() {
    m_widths.push_back(static_cast<std::uint32_t>(std::min(m_row_fields, m_max_fields)));
    m_short_rows += m_row_fields < m_max_fields;
    m_long_rows += m_row_fields > m_max_fields;
    m_row_fields = 0;
    m_open_row = m_fields.size();
    m_row_text_start = m_texts.size();
  }

  Dialect m_dialect;
  std::size_t m_max_fields;
  csv_detail::SeparatorBytes m_separators;
  csv_detail::SeparatorMasker m_masker = nullptr;  // null: the state machine alone
  CsvScanner m_scanner;
  const char* m_data = nullptr;         // the bytes fed
  std::string m_texts;                  // the texts the state machine read, back to back
  std::vector<Span> m_fields;           // each kept field's text
  std::vector<std::uint32_t> m_widths;  // kept fields of each ended row
  std::size_t m_field_start = 0;        // where the open field's text starts in m_texts
  std::size_t m_row_text_start = 0;     // where the open row's texts start in m_texts
  std::size_t m_row_fields = 0;         // fields of the open row, dropped ones included
  std::size_t m_open_row = 0;           // first field of the open row
  std::uint64_t m_short_rows = 0;       // ended rows narrower than m_max_fields
  std::uint64_t m_long_rows = 0;        // ended rows wider than m_max_fields
};

// From a field start outside quotes, takes the fields that end in whole
// blocks straight from their separator masks, as the state machine would
// read them: a field's first byte decides, since a quote is special only
// there. Returns where the state machine takes over, at a field start: a
// quoted field, or the last bytes of the data.
inline std::size_t ChunkTokenizer::take_plain_fields(const char* data, std::size_t start,
                                                     std::size_t size) {
  // In locals, which the masker's call and the stores of spans leave in registers: a span's
  // sizes might be m_row_fields, as far as the compiler knows, which it would then reload.
  const char quote = m_dialect.quote;
  const char delimiter = m_separators.delimiter;
  const bool crlf = m_dialect.terminator == Term::CRLF;
  std::size_t row_fields = m_row_fields;
  for (std::size_t block = start; block + kBlock < size; block += kBlock) {
    std::uint64_t separators = m_masker(data + block, m_separators);
    // A CR LF whose LF opens this block was taken whole: start is then past it.
    if (start > block) separators &= separators - 1;
    while (separators != 0) {
      if (data[start] == quote) {
        m_row_fields = row_fields;
        return start;
      }
      const std::size_t end = block + static_cast<std::size_t>(__builtin_ctzll(separators));
      separators &= separators - 1;
      end_plain_field(start, end, row_fields);
      start = end + 1;
      if (data[end] == delimiter) continue;
      if (crlf && data[end] == '\r' && data[start] == '\n') {
        ++start;
        separators &= separators - 1;
      }
      m_row_fields = row_fields;
      end_row();
      row_fields = 0;
    }
  }
  m_row_fields = row_fields;
  return start;
}

// Length of the prefix of [data, data + size) that ends with its last row
// terminator, if that terminator ends a row, or 0 when there is none. The
// guess assumes the terminator is outside quotes; confirm_chunk() checks it.
// A CR that is the last byte is passed over: an LF may follow it.
inline std::size_t guess_rows_end(const Dialect& dialect, const char* data, std::size_t size) {
  const auto last = [&](char c, std::size_t length) -> std::size_t {
    const void* found = length == 0 ? nullptr : ::memrchr(data, c, length);
    return found ? static_cast<const char*>(found) - data + 1 : 0;
  };
  if (dialect.terminator != Term::CRLF) {
    return last(static_cast<char>(static_cast<int>(dialect.terminator)), size);
  }
  return std::max(last('\n', size), last('\r', size == 0 ? 0 : size - 1));
}

// Confirms, in file order, that `chunk`, tokenized from a row start over
// [data, data + size), starts where `before` (the chunk before it, already
// confirmed) ended; otherwise tokenizes it again from there, taking over the
// row open in `before`. `last` marks the end of the input. Returns whether
// the first tokenizing stood.
inline bool confirm_chunk(ChunkTokenizer& before, ChunkTokenizer& chunk, const char* data,
                          std::size_t size, bool last) {
  if (before.ends_at_row_start(size == 0 ? nullptr : data)) return true;
  chunk.continue_from(before);
  chunk.feed(data, size);
  if (last) chunk.finish();
  return false;
}
