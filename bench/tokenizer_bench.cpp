// Throughput of the CSV tokenizer alone, next to the simplest reader that
// builds the same rows: one switch per byte, each byte appended on its own.
// The tokenizer skips over runs of plain bytes, so it has to beat that bar;
// both read the file through a std::ifstream in 128 KiB blocks and hand every
// row to the same consumer. The chunked tokenizer of the counting pass runs
// too, on one thread, over the file cut as the pass cuts it. Each is timed
// best of three and must report the same rows, fields and field bytes, or
// the program fails.
//
//   tokenizer_bench data.csv        # prints MB/s (10^6 bytes) for each
//   tokenizer_bench data.csv 5      # best of five instead
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "chunk_parser.hpp"
#include "parser.hpp"

namespace {

// What the consumer saw: enough to compare the two readers, and a use of
// every field so the compiler cannot drop the work.
struct Tally {
  std::uint64_t rows = 0;
  std::uint64_t fields = 0;
  std::uint64_t field_bytes = 0;

  void add(const std::vector<std::string>& row) {
    ++rows;
    fields += row.size();
    for (const auto& field : row) field_bytes += field.size();
  }
  void add(const ChunkTokenizer& chunk) {
    rows += chunk.widths().size();
    fields += chunk.fields();
    for (std::size_t f = 0; f < chunk.fields(); ++f) field_bytes += chunk.text(f).size();
  }
  bool operator==(const Tally& other) const {
    return rows == other.rows && fields == other.fields && field_bytes == other.field_bytes;
  }
};

std::ifstream open_or_throw(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot open " + path);
  return file;
}

Tally run_tokenizer(const std::string& path) {
  std::ifstream file = open_or_throw(path);
  CsvParser parser(file);
  parser.delimiter(',');
  Tally tally;
  for (const auto& row : parser) tally.add(row);
  return tally;
}

// The pass's chunk size (Inf's default), and a width no row of a bench file
// reaches, so that every field is kept.
constexpr std::size_t kChunkBytes = std::size_t{1} << 19;
constexpr std::size_t kKeptFields = std::size_t{1} << 16;

// Appends up to kChunkBytes of the file; false once it is used up.
bool read_piece(std::ifstream& file, std::string& bytes) {
  const std::size_t before = bytes.size();
  bytes.resize(before + kChunkBytes);
  file.read(bytes.data() + before, static_cast<std::streamsize>(kChunkBytes));
  bytes.resize(before + static_cast<std::size_t>(file.gcount()));
  if (!file && !file.eof()) throw std::runtime_error("cannot read");
  return bytes.size() > before;
}

// The pipeline's work on one thread: cut at a guessed row end, tokenize the
// chunk from a row start, confirm it against the chunk before.
Tally run_chunk_tokenizer(const std::string& path) {
  std::ifstream file = open_or_throw(path);
  const Dialect dialect;
  ChunkTokenizer confirmed(dialect, kKeptFields);
  ChunkTokenizer chunk(dialect, kKeptFields);
  std::string bytes;
  std::string left_over;
  Tally tally;
  for (bool last = false; !last;) {
    bytes.swap(left_over);
    left_over.clear();
    std::size_t cut = 0;
    while (cut == 0 && !last) {
      last = !read_piece(file, bytes);
      cut = last ? bytes.size() : guess_rows_end(dialect, bytes.data(), bytes.size());
    }
    left_over.assign(bytes, cut, std::string::npos);
    chunk.reset();
    chunk.feed(bytes.data(), cut);
    if (last) chunk.finish();
    confirm_chunk(confirmed, chunk, bytes.data(), cut, last);
    tally.add(chunk);
    confirmed.continue_from(chunk);
  }
  return tally;
}

// The same dialect as CsvParser (comma, doubled quotes, CR, LF or CR LF row
// ends, a last row without a terminator), written the plain way.
class ByteAtATimeReader {
 public:
  explicit ByteAtATimeReader(Tally& tally) : m_tally(tally) {}

  void feed(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) step(data[i]);
  }

  // At the end of the input a pending field or row still counts, as it does
  // for CsvParser; an empty field after a trailing delimiter does not.
  void finish() {
    if (!m_field.empty()) end_field();
    if (m_num_fields > 0) end_row();
  }

 private:
  enum class State {
    START_OF_FIELD,         // nothing of the current field read yet
    IN_FIELD,               // inside an unquoted field
    IN_QUOTED_FIELD,        // inside quotes: every byte but a quote is data
    QUOTE_IN_QUOTED_FIELD,  // a quote inside quotes: closing, or the first of a doubled pair
  };

  static bool is_row_end(char c) { return c == '\r' || c == '\n'; }

  void step(char c) {
    // An LF right after the CR that ended a row belongs to that row end.
    if (m_skip_lf) {
      m_skip_lf = false;
      if (c == '\n') return;
    }
    switch (m_state) {
      case State::START_OF_FIELD:
        if (c == '"') {
          m_state = State::IN_QUOTED_FIELD;
        } else {
          plain_byte(c);
        }
        break;
      case State::IN_FIELD:
        plain_byte(c);
        break;
      case State::IN_QUOTED_FIELD:
        if (c == '"') {
          m_state = State::QUOTE_IN_QUOTED_FIELD;
        } else {
          m_field.push_back(c);
        }
        break;
      case State::QUOTE_IN_QUOTED_FIELD:
        if (c == '"') {
          m_field.push_back(c);
          m_state = State::IN_QUOTED_FIELD;
        } else {
          plain_byte(c);
        }
        break;
    }
  }

  // A byte outside quotes: it ends the field, ends the row, or is data.
  void plain_byte(char c) {
    if (c == ',') {
      end_field();
      m_state = State::START_OF_FIELD;
    } else if (is_row_end(c)) {
      end_field();
      end_row();
      m_skip_lf = c == '\r';
      m_state = State::START_OF_FIELD;
    } else {
      m_field.push_back(c);
      m_state = State::IN_FIELD;
    }
  }

  // Rows live in one reused vector; a slot's string keeps its capacity.
  void end_field() {
    if (m_num_fields < m_row.size()) {
      m_row[m_num_fields] = m_field;
    } else {
      m_row.push_back(m_field);
    }
    ++m_num_fields;
    m_field.clear();
  }

  void end_row() {
    m_row.resize(m_num_fields);
    m_tally.add(m_row);
    m_num_fields = 0;
  }

  Tally& m_tally;
  State m_state = State::START_OF_FIELD;
  bool m_skip_lf = false;
  std::string m_field;
  std::vector<std::string> m_row;
  std::size_t m_num_fields = 0;
};

Tally run_byte_at_a_time(const std::string& path) {
  std::ifstream file = open_or_throw(path);
  std::vector<char> block(CsvParser::INPUTBUF_CAP);
  Tally tally;
  ByteAtATimeReader reader(tally);
  // Feed what each read delivered (gcount), not what was asked for: the last
  // block is short. Only a read that met the end of the file may fall short;
  // any other failure is an error, never taken for the end of the data.
  for (;;) {
    file.read(block.data(), static_cast<std::streamsize>(block.size()));
    reader.feed(block.data(), static_cast<std::size_t>(file.gcount()));
    if (file.eof()) break;
    if (!file) throw std::runtime_error("cannot read " + path);
  }
  reader.finish();
  return tally;
}

struct Timing {
  double best_seconds = 0;
  Tally tally;
};

Timing best_of(int runs, const std::function<Tally()>& pass) {
  Timing timing;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    timing.tally = pass();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (i == 0 || took.count() < timing.best_seconds) timing.best_seconds = took.count();
  }
  return timing;
}

std::uintmax_t file_size(const std::string& path) {
  std::ifstream file = open_or_throw(path);
  file.seekg(0, std::ios::end);
  return static_cast<std::uintmax_t>(file.tellg());
}

// The high-water mark of this process's resident memory in KiB, or -1 where
// /proc is missing. Not getrusage: Linux carries the parent's high-water mark
// over fork and exec into ru_maxrss, so under a large parent it reports the
// parent's.
long peak_rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

void report(const char* name, const Timing& timing, std::uintmax_t bytes, int runs) {
  std::printf("%-16s %9.1f MB/s  best of %d: %.3f s  rows %llu  fields %llu  field bytes %llu\n",
              name, static_cast<double>(bytes) / 1e6 / timing.best_seconds, runs,
              timing.best_seconds, static_cast<unsigned long long>(timing.tally.rows),
              static_cast<unsigned long long>(timing.tally.fields),
              static_cast<unsigned long long>(timing.tally.field_bytes));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s FILE [RUNS]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  const int runs = argc == 3 ? std::max(1, std::atoi(argv[2])) : 3;
  try {
    const std::uintmax_t bytes = file_size(path);
    std::printf("file %s: %llu bytes\n", path.c_str(), static_cast<unsigned long long>(bytes));
    const Timing tokenizer = best_of(runs, [&] { return run_tokenizer(path); });
    report("tokenizer", tokenizer, bytes, runs);
    const Timing chunks = best_of(runs, [&] { return run_chunk_tokenizer(path); });
    report("chunks", chunks, bytes, runs);
    const Timing byte_at_a_time = best_of(runs, [&] { return run_byte_at_a_time(path); });
    report("byte_at_a_time", byte_at_a_time, bytes, runs);
    if (!(tokenizer.tally == byte_at_a_time.tally) || !(chunks.tally == byte_at_a_time.tally)) {
      std::printf("ROWS DIFFER between the tokenizers and the byte-at-a-time reader\n");
      return 1;
    }
    std::printf("rows agree\n");
    const long peak = peak_rss_kib();
    if (peak >= 0) std::printf("peak RSS %ld KiB\n", peak);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tokenizer_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
