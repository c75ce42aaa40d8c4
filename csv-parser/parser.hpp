// A streaming CSV tokenizer: one forward pass over a byte stream with one
// byte of look-ahead, quoting with doubled quotes, a one-byte delimiter and
// rows ending at CR, LF or CR LF. No encoding is interpreted and malformed
// input is never an error.
//
//   std::ifstream file(path, std::ios::binary);
//   CsvParser parser(file); parser.delimiter(';');
//   for (const auto& row : parser) { /* row is a std::vector<std::string> */ }
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <istream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "simd_scan.hpp"

// Row terminator mode: CRLF accepts CR, LF and CR LF; any other value is a
// single terminator byte, stored as its unsigned code so that no byte can be
// mistaken for CRLF.
enum class Term : int { CRLF = -2 };

inline bool operator==(char c, Term t) {
  if (t == Term::CRLF) return c == '\r' || c == '\n';
  return static_cast<unsigned char>(c) == static_cast<int>(t);
}

enum class FieldType : int { DATA = 0, ROW_END = 1, CSV_END = 2 };

// One token of next_field(). For DATA, `data` points into the parser's field
// buffer and is valid only until the next call of next_field().
struct Field {
  explicit Field(FieldType t) : type(t), data(nullptr) {}
  explicit Field(const std::string& text) : type(FieldType::DATA), data(&text) {}

  FieldType type;
  const std::string* data;
};

// The bytes that shape a CSV input. One input has one dialect, which every
// tokenizer of any part of it is given.
struct Dialect {
  char quote = '"';
  char delimiter = ',';
  Term terminator = Term::CRLF;
};

namespace csv_detail {

// The bytes that end an unquoted field in `dialect`.
inline SeparatorBytes separator_bytes(const Dialect& dialect) {
  if (dialect.terminator == Term::CRLF) return {dialect.delimiter, '\r', '\n'};
  const char term = static_cast<char>(static_cast<int>(dialect.terminator));
  return {dialect.delimiter, term, term};
}

// Whether each byte of `dialect` has one role. Where one byte is two things
// (the delimiter is also the quote, say), the scanner's order of tests
// decides, and the block walk, which reads a separator as nothing else,
// does not apply.
inline bool roles_distinct(const Dialect& dialect) {
  const SeparatorBytes bytes = separator_bytes(dialect);
  const char quote = dialect.quote;
  return bytes.delimiter != quote && bytes.first_terminator != quote &&
         bytes.second_terminator != quote && bytes.delimiter != bytes.first_terminator &&
         bytes.delimiter != bytes.second_terminator;
}

}  // namespace csv_detail

// The tokenizer's state machine, fed one buffer at a time: the stream parser
// feeds it its refills, and chunked parsing (chunk_parser.hpp) the pieces of
// an input held in memory, so both read every input alike.
//
//   CsvScanner scanner;  std::size_t cursor = 0;  std::string text;
//   while (scanner.scan(data, cursor, size, text) == CsvScanner::Step::FIELD) text.clear();
class CsvScanner {
 public:
  enum class State : int {
    START_OF_FIELD = 0,    // nothing of the current field read yet
    IN_FIELD = 1,          // inside an unquoted field
    IN_QUOTED_FIELD = 2,   // inside quotes: only the quote byte is special
    IN_ESCAPED_QUOTE = 3,  // just after a quote met inside quotes: closing or doubled
    END_OF_ROW = 4,        // a terminator was consumed; the row end is still to report
    EMPTY = 5,             // the input is exhausted; final
  };

  // What scan() stopped at.
  enum class Step {
    FIELD,    // a field ended; its text was appended to `out`
    ROW_END,  // the row end, reported at the first byte after it (not consumed)
    MORE,     // the buffer is used up, possibly inside a field
  };

  CsvScanner() = default;
  explicit CsvScanner(const Dialect& dialect) : dialect(dialect) {}

  Dialect dialect;

  State state() const { return m_state; }

  // Consumes bytes of [data + cursor, data + size), appending field text to
  // `out`, up to the next field end or row end.
  Step scan(const char* data, std::size_t& cursor, std::size_t size, std::string& out);

  // A CR that was the last byte of a buffer may be followed by the LF that
  // belongs to it: the caller that wants it settled at once calls this with
  // the next buffer.
  bool awaits_lf() const { return m_after_cr; }
  void settle_lf(const char* data, std::size_t& cursor, std::size_t size);

  // Whether a row starts right here, before the byte `next`: the last byte
  // was a row's terminator, and `next` does not complete it. Without a byte
  // to look at (null), a CR still waiting for its LF leaves that open.
  bool at_row_start(const char* next) const {
    return m_state == State::END_OF_ROW && !(m_after_cr && (next == nullptr || *next == '\n'));
  }

  // The end of the input, with `pending` bytes of a field read: only a field
  // with text is delivered there. Returns whether one is. `row_untouched`
  // says that nothing was read since the scanner started at a row start,
  // which its state alone cannot tell from the state after a delimiter.
  bool finish(std::size_t pending, bool row_untouched) {
    m_ended_at_row_end =
        m_state == State::END_OF_ROW || (m_state == State::START_OF_FIELD && row_untouched);
    m_state = State::EMPTY;
    return pending != 0;
  }

  // After finish(): whether the input ended where a row ends, outside quotes
  // just past a row's terminator (a last CR too, whose LF never came), or
  // with nothing read since a row start (an empty input).
  bool ended_at_row_end() const { return m_ended_at_row_end; }

 private:
  void end_row(char c, const char* data, std::size_t& cursor, std::size_t size);
  std::size_t ordinary_run_length(const char* begin, const char* end) const;

  State m_state = State::START_OF_FIELD;
  bool m_after_cr = false;  // a CR ended the row at a buffer's end; an LF next is part of it
  bool m_ended_at_row_end = false;
};

// Contracts:
//  - The stream is not owned and must outlive the parser.
//  - A read that fails (not end of data) throws std::runtime_error with the
//    OS reason; it is never taken for the end of the data.
//  - begin() does not rewind: a second call reads on from where the stream is.
//  - The row iterator reuses one vector, so finish with a row before ++, or
//    take() it to keep it.
//  - unread() holds the bytes taken from the stream but not consumed yet; the
//    rest of the input is those bytes, then what the stream still holds.
class CsvParser {
 public:
  using State = CsvScanner::State;

  static constexpr int FIELDBUF_CAP = 1024;
  static constexpr int INPUTBUF_CAP = 131072;

  class iterator;

  explicit CsvParser(std::istream& input) : m_input(input) {
    m_fieldbuf.reserve(FIELDBUF_CAP);
    if (!m_input.good()) throw std::runtime_error("Something is wrong with input stream");
  }

  CsvParser& quote(char c) {
    m_scanner.dialect.quote = c;
    return *this;
  }
  CsvParser& delimiter(char c) {
    m_scanner.dialect.delimiter = c;
    return *this;
  }
  CsvParser& terminator(char c) {
    m_scanner.dialect.terminator = static_cast<Term>(static_cast<unsigned char>(c));
    return *this;
  }

  bool empty() const { return m_scanner.state() == State::EMPTY; }

  // Once empty(): whether the input ended where a row ends, as
  // CsvScanner::ended_at_row_end() tells.
  bool ended_at_row_end() const { return m_scanner.ended_at_row_end(); }

  // Offset in the stream of the next byte not yet consumed.
  std::streamoff position() const { return m_scanposition + static_cast<std::streamoff>(m_cursor); }

  std::string_view unread() const {
    return std::string_view(m_inputbuf + m_cursor, m_inputbuf_size - m_cursor);
  }

  // The whole dialect at once, as another tokenizer of the input has it.
  CsvParser& dialect(const Dialect& dialect) {
    m_scanner.dialect = dialect;
    return *this;
  }

  // The dialect, for tokenizing the rest of the input elsewhere.
  const Dialect& dialect() const { return m_scanner.dialect; }

  Field next_field();

  iterator begin();
  iterator end();

 private:
  FieldType read_field(std::string& out);
  bool more_input();

  CsvScanner m_scanner;
  std::istream& m_input;
  std::string m_fieldbuf;
  char m_inputbuf[INPUTBUF_CAP] = {};
  bool m_eof = false;
  // cursor == size at construction, so the first look-ahead performs the
  // first read; m_scanposition starts one buffer early so that adding the
  // cursor on that read brings it to 0.
  std::size_t m_cursor = INPUTBUF_CAP;
  std::size_t m_inputbuf_size = INPUTBUF_CAP;
  std::streamoff m_scanposition = -INPUTBUF_CAP;
};

// An input iterator over rows. Equal to end() once the input is exhausted
// and the last row has been passed.
class CsvParser::iterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = std::vector<std::string>;
  using difference_type = std::ptrdiff_t;
  using pointer = const value_type*;
  using reference = const value_type&;

  explicit iterator(CsvParser* parser, bool end = false) : m_parser(parser) {
    if (end) return;
    m_row.reserve(50);
    m_current_row = 0;
    next();
  }

  reference operator*() const { return m_row; }
  pointer operator->() const { return &m_row; }

  // Hands the row over to a caller that keeps it (the header, whose cells
  // become column names), so that no field is copied; the iterator holds an
  // empty row until ++.
  value_type take() {
    value_type row;
    row.swap(m_row);
    return row;
  }

  iterator& operator++() {
    next();
    return *this;
  }
  // Returns nothing: a copy of the row would be the only use of a result.
  void operator++(int) { next(); }

  bool operator==(const iterator& other) const {
    return m_current_row == other.m_current_row && m_row.size() == other.m_row.size();
  }
  bool operator!=(const iterator& other) const { return !(*this == other); }

 private:
  void next();

  value_type m_row;
  CsvParser* m_parser;
  // 64 bits: a file may hold more than 2^31 rows.
  std::int64_t m_current_row = -1;
};

inline CsvParser::iterator CsvParser::begin() { return iterator(this, false); }
inline CsvParser::iterator CsvParser::end() { return iterator(this, true); }

namespace csv_detail {

// Reads up to `size` bytes and returns how many came. Trust the count the
// read delivered, not the count asked for: only a read that met the end of
// the stream may deliver less, and a failure that is not the end of the data
// (libstdc++ reports reading a directory this way) must not pass for a short
// last block.
inline std::size_t read_block(std::istream& input, char* buffer, std::size_t size) {
  errno = 0;
  input.read(buffer, static_cast<std::streamsize>(size));
  const int read_errno = errno;
  const auto delivered = static_cast<std::size_t>(input.gcount());
  if (input.bad() || (input.fail() && !input.eof())) {
    std::string reason = read_errno != 0 ? std::strerror(read_errno) : "read failed";
    throw std::runtime_error("Cannot read input stream: " + reason);
  }
  return delivered;
}

}  // namespace csv_detail

// Called right after a terminator byte was consumed: in CRLF mode an LF that
// follows a CR belongs to the same row end, even in the next buffer.
inline void CsvScanner::end_row(char c, const char* data, std::size_t& cursor, std::size_t size) {
  m_state = State::END_OF_ROW;
  if (dialect.terminator != Term::CRLF || c != '\r') return;
  if (cursor == size) {
    m_after_cr = true;
  } else if (data[cursor] == '\n') {
    ++cursor;
  }
}

inline void CsvScanner::settle_lf(const char* data, std::size_t& cursor, std::size_t size) {
  if (!m_after_cr || cursor == size) return;
  m_after_cr = false;
  if (data[cursor] == '\n') ++cursor;
}

// Length of the run of bytes from `begin` that an unquoted field takes as
// plain data: everything up to a delimiter or a terminator byte.
inline std::size_t CsvScanner::ordinary_run_length(const char* begin, const char* end) const {
  // The bytes of separator_bytes(), spelt out for CRLF: with constants the
  // compiler broadcasts two fewer bytes per run, which costs CsvParser 3% of
  // its instructions otherwise.
  if (dialect.terminator == Term::CRLF) {
    return csv_detail::find_first_of3(begin, end, dialect.delimiter, '\r', '\n');
  }
  const csv_detail::SeparatorBytes bytes = csv_detail::separator_bytes(dialect);
  return csv_detail::find_first_of3(begin, end, bytes.delimiter, bytes.first_terminator,
                                    bytes.second_terminator);
}

inline CsvScanner::Step CsvScanner::scan(const char* data, std::size_t& cursor, std::size_t size,
                                         std::string& out) {
  for (;;) {
    if (cursor == size) return Step::MORE;
    const char c = data[cursor];
    switch (m_state) {
      case State::START_OF_FIELD:
        if (c == dialect.terminator) {
          ++cursor;
          end_row(c, data, cursor, size);
          return Step::FIELD;
        }
        if (c == dialect.quote) {
          ++cursor;
          m_state = State::IN_QUOTED_FIELD;
          break;
        }
        if (c == dialect.delimiter) {
          ++cursor;
          return Step::FIELD;
        }
        // An ordinary byte starts an unquoted field, whose run takes it.
        m_state = State::IN_FIELD;
        [[fallthrough]];
      case State::IN_FIELD: {
        // Take the whole run of plain bytes at once. A run that reaches the
        // end of the buffer goes on in the next one; otherwise the byte that
        // ends it is a terminator or the delimiter.
        const std::size_t run = ordinary_run_length(data + cursor, data + size);
        out.append(data + cursor, run);
        cursor += run;
        if (cursor == size) return Step::MORE;
        const char stop = data[cursor++];
        if (stop == dialect.terminator) {
          end_row(stop, data, cursor, size);
        } else {
          m_state = State::START_OF_FIELD;
        }
        return Step::FIELD;
      }
      case State::IN_QUOTED_FIELD: {
        const char* begin = data + cursor;
        const std::size_t left = size - cursor;
        const void* found = std::memchr(begin, dialect.quote, left);
        const std::size_t run = found ? static_cast<const char*>(found) - begin : left;
        out.append(begin, run);
        cursor += run;
        if (found != nullptr) {
          ++cursor;
          m_state = State::IN_ESCAPED_QUOTE;
        }
        break;
      }
      case State::IN_ESCAPED_QUOTE:
        ++cursor;
        if (c == dialect.terminator) {
          end_row(c, data, cursor, size);
          return Step::FIELD;
        }
        if (c == dialect.quote) {
          out += c;
          m_state = State::IN_QUOTED_FIELD;
        } else if (c == dialect.delimiter) {
          m_state = State::START_OF_FIELD;
          return Step::FIELD;
        } else {
          out += c;
          m_state = State::IN_FIELD;
        }
        break;
      case State::END_OF_ROW:
        if (m_after_cr) {
          m_after_cr = false;
          if (c == '\n') {
            ++cursor;
            break;
          }
        }
        m_state = State::START_OF_FIELD;
        return Step::ROW_END;
      case State::EMPTY:
        // Nothing follows the end of the input.
        return Step::MORE;
    }
  }
}

// Refills the buffer; false at the end of the input.
inline bool CsvParser::more_input() {
  if (m_eof) return false;
  m_scanposition += static_cast<std::streamoff>(m_cursor);
  m_cursor = 0;
  const std::size_t delivered = csv_detail::read_block(m_input, m_inputbuf, INPUTBUF_CAP);
  if (m_input.eof()) {
    m_eof = true;
    m_inputbuf_size = delivered;
  }
  return m_inputbuf_size != 0;
}

inline Field CsvParser::next_field() {
  const FieldType type = read_field(m_fieldbuf);
  return type == FieldType::DATA ? Field(m_fieldbuf) : Field(type);
}

// next_field() into `out`: the row iterator reads each field straight into
// the row's own string, which keeps its capacity from row to row, instead of
// copying or swapping it out of the field buffer.
inline FieldType CsvParser::read_field(std::string& out) {
  if (empty()) return FieldType::CSV_END;
  out.clear();
  for (;;) {
    switch (m_scanner.scan(m_inputbuf, m_cursor, m_inputbuf_size, out)) {
      case CsvScanner::Step::FIELD:
        // The LF of a CR LF split by a refill is taken with its CR, so that
        // position() never stops between the two.
        if (m_scanner.awaits_lf() && more_input()) {
          m_scanner.settle_lf(m_inputbuf, m_cursor, m_inputbuf_size);
        }
        return FieldType::DATA;
      case CsvScanner::Step::ROW_END:
        return FieldType::ROW_END;
      case CsvScanner::Step::MORE:
        if (more_input()) break;
        // The parser starts at the input's start, where a row starts: the
        // row is untouched only when the input is empty.
        return m_scanner.finish(out.size(), position() == 0) ? FieldType::DATA : FieldType::CSV_END;
    }
  }
}
inline void CsvParser::iterator::next() {
  std::size_t num_fields = 0;
  for (;;) {
    // A field beyond the width of the rows before goes through the parser's
    // buffer, and so does the read that finds the row's end. The buffer is
    // moved into the row, not copied: a field as long as the input is then
    // held once.
    const bool fits = num_fields < m_row.size();
    std::string& text = fits ? m_row[num_fields] : m_parser->m_fieldbuf;
    switch (m_parser->read_field(text)) {
      case FieldType::DATA:
        if (!fits) m_row.push_back(std::move(text));
        ++num_fields;
        break;
      case FieldType::ROW_END:
        m_row.resize(num_fields);
        ++m_current_row;
        return;
      case FieldType::CSV_END:
        m_row.resize(num_fields);
        m_current_row = -1;
        return;
    }
  }
}
