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
#include <cstring>
#include <istream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace csv_detail {

// Offset of the first byte in [begin, end) equal to a, b or c, or end - begin.
// Most bytes of an unquoted field are ordinary, so the search runs sixteen
// bytes at a time where SSE2 is available.
inline std::size_t find_first_of3(const char* begin, const char* end, char a, char b, char c) {
  const char* p = begin;
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), vc = _mm_set1_epi8(c);
  for (; end - p >= 16; p += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hits =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, va), _mm_cmpeq_epi8(chunk, vb)),
                     _mm_cmpeq_epi8(chunk, vc));
    const int mask = _mm_movemask_epi8(hits);
    if (mask != 0) return static_cast<std::size_t>(p - begin) + __builtin_ctz(mask);
  }
#endif
  for (; p != end; ++p) {
    if (*p == a || *p == b || *p == c) break;
  }
  return static_cast<std::size_t>(p - begin);
}

}  // namespace csv_detail

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

// Contracts:
//  - The stream is not owned and must outlive the parser.
//  - A read that fails (not end of data) throws std::runtime_error with the
//    OS reason; it is never taken for the end of the data.
//  - begin() does not rewind: a second call reads on from where the stream is.
//  - The row iterator reuses one vector, so finish with a row before ++.
class CsvParser {
 public:
  enum class State : int {
    START_OF_FIELD = 0,    // nothing of the current field read yet
    IN_FIELD = 1,          // inside an unquoted field
    IN_QUOTED_FIELD = 2,   // inside quotes: only the quote byte is special
    IN_ESCAPED_QUOTE = 3,  // just after a quote met inside quotes: closing or doubled
    END_OF_ROW = 4,        // a terminator was consumed; the row end is still to report
    EMPTY = 5,             // the input is exhausted; final
  };

  static constexpr int FIELDBUF_CAP = 1024;
  static constexpr int INPUTBUF_CAP = 131072;

  class iterator;

  explicit CsvParser(std::istream& input) : m_input(input) {
    m_fieldbuf.reserve(FIELDBUF_CAP);
    if (!m_input.good()) throw std::runtime_error("Something is wrong with input stream");
  }

  CsvParser& quote(char c) {
    m_quote = c;
    return *this;
  }
  CsvParser& delimiter(char c) {
    m_delimiter = c;
    return *this;
  }
  CsvParser& terminator(char c) {
    m_terminator = static_cast<Term>(static_cast<unsigned char>(c));
    return *this;
  }

  bool empty() const { return m_state == State::EMPTY; }

  // Offset in the stream of the next byte not yet consumed.
  std::streamoff position() const { return m_scanposition + static_cast<std::streamoff>(m_cursor); }

  Field next_field();

  iterator begin();
  iterator end();

 private:
  FieldType read_field(std::string& out);
  const char* top_token();
  void refill();
  void handle_crlf(char c);
  std::size_t ordinary_run_length() const;

  State m_state = State::START_OF_FIELD;
  char m_quote = '"';
  char m_delimiter = ',';
  Term m_terminator = Term::CRLF;
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
  int m_current_row = -1;
};

inline CsvParser::iterator CsvParser::begin() { return iterator(this, false); }
inline CsvParser::iterator CsvParser::end() { return iterator(this, true); }

inline void CsvParser::refill() {
  m_scanposition += static_cast<std::streamoff>(m_cursor);
  m_cursor = 0;
  errno = 0;
  m_input.read(m_inputbuf, INPUTBUF_CAP);
  const int read_errno = errno;
  // Trust the count the read delivered, not the count asked for: only a
  // read that met the end of the stream may deliver less, and a failure that
  // is not the end of the data (libstdc++ reports reading a directory this
  // way) must not pass for a short last block.
  const auto delivered = static_cast<std::size_t>(m_input.gcount());
  if (m_input.bad() || (m_input.fail() && !m_input.eof())) {
    std::string reason = read_errno != 0 ? std::strerror(read_errno) : "read failed";
    throw std::runtime_error("Cannot read input stream: " + reason);
  }
  if (m_input.eof()) {
    m_eof = true;
    m_inputbuf_size = delivered;
  }
}

inline const char* CsvParser::top_token() {
  if (m_cursor == m_inputbuf_size) {
    if (m_eof) return nullptr;
    refill();
    if (m_inputbuf_size == 0) return nullptr;
  }
  return &m_inputbuf[m_cursor];
}

// Called right after a terminator byte was consumed: in CRLF mode an LF that
// follows a CR belongs to the same row end, even across a refill.
inline void CsvParser::handle_crlf(char c) {
  if (m_terminator != Term::CRLF || c != '\r') return;
  const char* next = top_token();
  if (next != nullptr && *next == '\n') ++m_cursor;
}

// Length of the run of bytes from the cursor that an unquoted field takes as
// plain data: everything up to a delimiter or a terminator byte.
inline std::size_t CsvParser::ordinary_run_length() const {
  const char* begin = m_inputbuf + m_cursor;
  const char* end = m_inputbuf + m_inputbuf_size;
  if (m_terminator == Term::CRLF) {
    return csv_detail::find_first_of3(begin, end, m_delimiter, '\r', '\n');
  }
  const char term = static_cast<char>(static_cast<int>(m_terminator));
  return csv_detail::find_first_of3(begin, end, m_delimiter, term, term);
}

inline Field CsvParser::next_field() {
  const FieldType type = read_field(m_fieldbuf);
  return type == FieldType::DATA ? Field(m_fieldbuf) : Field(type);
}

// next_field() into `out`: the row iterator reads each field straight into
// the row's own string, which keeps its capacity from row to row, instead of
// copying or swapping it out of the field buffer.
inline FieldType CsvParser::read_field(std::string& out) {
  if (m_state == State::EMPTY) return FieldType::CSV_END;
  out.clear();
  for (;;) {
    const char* next = top_token();
    if (next == nullptr) {
      m_state = State::EMPTY;
      return out.empty() ? FieldType::CSV_END : FieldType::DATA;
    }
    const char c = *next;
    switch (m_state) {
      case State::START_OF_FIELD:
        if (c == m_terminator) {
          ++m_cursor;
          handle_crlf(c);
          m_state = State::END_OF_ROW;
          return FieldType::DATA;
        }
        if (c == m_quote) {
          ++m_cursor;
          m_state = State::IN_QUOTED_FIELD;
          break;
        }
        if (c == m_delimiter) {
          ++m_cursor;
          return FieldType::DATA;
        }
        // An ordinary byte starts an unquoted field, whose run takes it.
        m_state = State::IN_FIELD;
        [[fallthrough]];
      case State::IN_FIELD: {
        // Take the whole run of plain bytes at once. A run that reaches the
        // end of the buffer goes on after the refill; otherwise the byte that
        // ends it is a terminator or the delimiter.
        const std::size_t run = ordinary_run_length();
        out.append(m_inputbuf + m_cursor, run);
        m_cursor += run;
        if (m_cursor == m_inputbuf_size) break;
        const char stop = m_inputbuf[m_cursor++];
        if (stop == m_terminator) {
          handle_crlf(stop);
          m_state = State::END_OF_ROW;
        } else {
          m_state = State::START_OF_FIELD;
        }
        return FieldType::DATA;
      }
      case State::IN_QUOTED_FIELD: {
        const char* begin = m_inputbuf + m_cursor;
        const std::size_t left = m_inputbuf_size - m_cursor;
        const void* quote = std::memchr(begin, m_quote, left);
        const std::size_t run = quote ? static_cast<const char*>(quote) - begin : left;
        out.append(begin, run);
        m_cursor += run;
        if (quote != nullptr) {
          ++m_cursor;
          m_state = State::IN_ESCAPED_QUOTE;
        }
        break;
      }
      case State::IN_ESCAPED_QUOTE:
        ++m_cursor;
        if (c == m_terminator) {
          handle_crlf(c);
          m_state = State::END_OF_ROW;
          return FieldType::DATA;
        }
        if (c == m_quote) {
          out += c;
          m_state = State::IN_QUOTED_FIELD;
        } else if (c == m_delimiter) {
          m_state = State::START_OF_FIELD;
          return FieldType::DATA;
        } else {
          out += c;
          m_state = State::IN_FIELD;
        }
        break;
      case State::END_OF_ROW:
        m_state = State::START_OF_FIELD;
        return FieldType::ROW_END;
      case State::EMPTY:
        return FieldType::CSV_END;
    }
  }
}

inline void CsvParser::iterator::next() {
  std::size_t num_fields = 0;
  for (;;) {
    // A field beyond the width of the rows before goes through the parser's
    // buffer, and so does the read that finds the row's end.
    const bool fits = num_fields < m_row.size();
    std::string& text = fits ? m_row[num_fields] : m_parser->m_fieldbuf;
    switch (m_parser->read_field(text)) {
      case FieldType::DATA:
        if (!fits) m_row.push_back(text);
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
