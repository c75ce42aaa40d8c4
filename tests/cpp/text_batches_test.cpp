// Tests of the text batches: a table of small inputs read in batches of one,
// two and many rows, also shifted across the tokenizer's buffer boundary;
// a cell longer than that buffer; random files held against the pass's row
// and short-row counts; and the C stream's schema, end and failures.
//
// Rows are written "[a][b]|[c]." : a cell's text in brackets, a null as ".".
#include "load/text_batches.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "inf.h"
#include "io/byte_source.h"
#include "io/input_stream.h"
#include "nanoarrow.h"
#include "parser.hpp"

namespace {

using quorvel::InputStream;
using quorvel::TextBatches;
using quorvel::TextBatchLayout;
using ::testing::StrEq;
using ::testing::ThrowsMessage;
using namespace std::string_literals;
using Names = std::vector<std::string>;

constexpr std::size_t kBuffer = CsvParser::INPUTBUF_CAP;

// Bytes in memory, handed out a few at a time so that reads end anywhere;
// it throws as a failing disk would once `failAt` bytes were read.
class MemorySource final : public quorvel::ByteSource {
 public:
  explicit MemorySource(std::string bytes, std::size_t failAt = std::string::npos)
      : bytes_(std::move(bytes)), failAt_(failAt) {}

  std::size_t read(char* s, std::size_t n) override {
    if (at_ >= failAt_)
      throw std::runtime_error("cannot read 'memory' at byte " + std::to_string(at_));
    const std::size_t got = std::min({n, bytes_.size() - at_, std::size_t{7919}});
    std::memcpy(s, bytes_.data() + at_, got);
    at_ += got;
    return got;
  }
  std::optional<std::uint64_t> size() const override { return bytes_.size(); }
  bool readableOffThread() const override { return true; }
  const std::string& name() const override { return name_; }
  bool isFile(const std::string&) const override { return false; }
  bool isCutFromFile() const override { return false; }
  void setWaitHook(WaitHook) override {}

 private:
  std::string bytes_;
  std::size_t failAt_;
  std::size_t at_ = 0;
  std::string name_ = "memory";
};

std::unique_ptr<InputStream> InputOf(std::string bytes, std::size_t failAt = std::string::npos) {
  return std::make_unique<InputStream>(std::make_unique<MemorySource>(std::move(bytes), failAt));
}

// A layout of text columns, every cell as written.
TextBatchLayout TextLayout(char delimiter, bool header, Names names, std::size_t batchRows) {
  TextBatchLayout layout;
  layout.delimiter = delimiter;
  layout.headerRow = header;
  layout.names = std::move(names);
  layout.batchRows = batchRows;
  return layout;
}

Names NamesOf(std::size_t width) {
  Names names;
  for (std::size_t c = 0; c < width; ++c) names.push_back("c" + std::to_string(c));
  return names;
}

// A batch's rows in the notation above, read through nanoarrow's validating
// view, so that a malformed batch fails here and not in a library.
std::string Render(const ArrowSchema& schema, const ArrowArray& batch) {
  ArrowArrayView view;
  EXPECT_EQ(ArrowArrayViewInitFromSchema(&view, &schema, nullptr), NANOARROW_OK);
  ArrowError error{};
  EXPECT_EQ(ArrowArrayViewSetArray(&view, &batch, &error), NANOARROW_OK) << error.message;
  EXPECT_EQ(ArrowArrayViewValidate(&view, NANOARROW_VALIDATION_LEVEL_FULL, &error), NANOARROW_OK)
      << error.message;
  std::string rows;
  for (std::int64_t r = 0; r < batch.length; ++r) {
    if (r > 0) rows += "|";
    for (std::int64_t c = 0; c < view.n_children; ++c) {
      const ArrowArrayView* column = view.children[c];
      if (ArrowArrayViewIsNull(column, r)) {
        rows += ".";
        continue;
      }
      if (column->storage_type == NANOARROW_TYPE_INT64) {
        rows += "[" + std::to_string(ArrowArrayViewGetIntUnsafe(column, r)) + "]";
        continue;
      }
      const ArrowStringView text = ArrowArrayViewGetStringUnsafe(column, r);
      rows += "[" + std::string(text.data, static_cast<std::size_t>(text.size_bytes)) + "]";
    }
  }
  ArrowArrayViewReset(&view);
  return rows;
}

struct Read {
  std::string rows;
  std::vector<std::int64_t> batchLengths;
};

Read ReadAll(TextBatches& batches) {
  ArrowSchema schema;
  batches.schema(&schema);
  Read read;
  ArrowArray batch;
  while (batches.next(&batch)) {
    if (!read.rows.empty() || !read.batchLengths.empty()) read.rows += "|";
    read.rows += Render(schema, batch);
    read.batchLengths.push_back(batch.length);
    batch.release(&batch);
  }
  schema.release(&schema);
  return read;
}

Read ReadAll(std::unique_ptr<InputStream> input, TextBatchLayout layout) {
  TextBatches batches(std::move(input), std::move(layout));
  return ReadAll(batches);
}

// Every batch holds at least one row and at most batchRows; it is cut short
// only at the end of a chunk, which a test cannot see from outside.
void ExpectBatchesOfAtMost(const Read& read, std::size_t batchRows) {
  for (std::size_t b = 0; b < read.batchLengths.size(); ++b) {
    const auto length = static_cast<std::size_t>(read.batchLengths[b]);
    EXPECT_GE(length, 1u) << "batch " << b;
    EXPECT_LE(length, batchRows) << "batch " << b;
  }
}

struct PassCounts {
  std::uint64_t rows;
  std::uint64_t shorter;
};

PassCounts PassOver(const std::string& bytes, char delimiter, const Names& names, bool header) {
  quorvel::Inf inf("", delimiter, {{"int", {"[0-9]+"}}}, {}, false, false, "", 0);
  InputStream input(std::make_unique<MemorySource>(bytes));
  inf.inferTypes(input, quorvel::ColumnLayout{names, header});
  return {inf.getNumRows(), inf.getRaggedRows().shorter};
}

struct Case {
  const char* name;
  std::string input;
  std::size_t width;
  bool header;
  std::string rows;
};

const Case kCases[] = {
    {"rows", "a,b\nc,d\n", 2, false, "[a][b]|[c][d]"},
    {"no line end at the end", "a,b\nc,d", 2, false, "[a][b]|[c][d]"},
    {"CR LF", "a,b\r\nc,d\r\n", 2, false, "[a][b]|[c][d]"},
    {"CR only", "a,b\rc,d\r", 2, false, "[a][b]|[c][d]"},
    {"mixed line ends", "a\rb\nc\r\nd", 1, false, "[a]|[b]|[c]|[d]"},
    {"quoted line breaks", "\"a\nb\",\"c\r\nd\"\ne,f\n", 2, false, "[a\nb][c\r\nd]|[e][f]"},
    {"doubled quotes", "\"a\"\"b\",\"\"\"\"\n", 2, false, "[a\"b][\"]"},
    {"quoted delimiter", "\"a,b\",c\n", 2, false, "[a,b][c]"},
    {"empty cells", ",\n,x\n", 2, false, "[][]|[][x]"},
    {"empty quoted cell", "\"\",x\n", 2, false, "[][x]"},
    {"blank line", "a,b\n\nc,d\n", 2, false, "[a][b]|[].|[c][d]"},
    {"blank first line", "\na,b\n", 2, false, "[].|[a][b]"},
    {"blank lines of one column", "a\n\n\nb\n", 1, false, "[a]|[]|[]|[b]"},
    {"CR LF blank line", "a\r\n\r\nb\r\n", 1, false, "[a]|[]|[b]"},
    {"short row", "a\nb,c\n", 2, false, "[a].|[b][c]"},
    {"long row", "a,b,c\nd,e\n", 2, false, "[a][b]|[d][e]"},
    {"delimiter at the end of the input", "a,", 2, false, "[a]."},
    {"NUL in a cell", "a\0b,c\n"s, 2, false, "[a\0b][c]"s},
    {"empty input", "", 2, false, ""},
    {"empty input with a header", "", 2, true, ""},
    {"header only", "h,i\n", 2, true, ""},
    {"header without line end", "h,i", 2, true, ""},
    {"header and rows", "h,i\n1,2\n3\n", 2, true, "[1][2]|[3]."},
    {"header with a quoted line break", "\"h\ni\",j\n1,2\n", 2, true, "[1][2]"},
    {"header with a quote inside", "a,b\"c\n1,2\n", 2, true, "[1][2]"},
};

class TextBatchTable : public ::testing::TestWithParam<Case> {};

TEST_P(TextBatchTable, ReadsTheRowsInBatchesOfAnySize) {
  const Case& c = GetParam();
  for (const std::size_t batchRows : {std::size_t{1}, std::size_t{2}, std::size_t{1} << 16}) {
    const Read read =
        ReadAll(InputOf(c.input), TextLayout(',', c.header, NamesOf(c.width), batchRows));
    EXPECT_EQ(read.rows, c.rows) << "batches of " << batchRows;
    ExpectBatchesOfAtMost(read, batchRows);
  }
}

TEST_P(TextBatchTable, ReadsTheRowsWithAnotherDelimiter) {
  const Case& c = GetParam();
  std::string input = c.input;
  std::replace(input.begin(), input.end(), ',', ';');
  std::string rows = c.rows;
  std::replace(rows.begin(), rows.end(), ',', ';');
  EXPECT_EQ(ReadAll(InputOf(input), TextLayout(';', c.header, NamesOf(c.width), 2)).rows, rows);
}

// A header row that fills the tokenizer's buffer up to a few bytes puts the
// case's rows across the boundary between two refills.
TEST_P(TextBatchTable, ReadsTheRowsAcrossTheBufferBoundary) {
  const Case& c = GetParam();
  if (c.header) return;
  for (const std::size_t shift : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{5}}) {
    const std::string header = std::string(kBuffer - shift - 1, 'h') + "\n";
    const Read read =
        ReadAll(InputOf(header + c.input), TextLayout(',', true, NamesOf(c.width), 2));
    EXPECT_EQ(read.rows, c.rows) << "shifted to " << shift << " bytes before";
  }
}

TEST_P(TextBatchTable, DeliversTheRowsThePassCounts) {
  const Case& c = GetParam();
  const Read read = ReadAll(InputOf(c.input), TextLayout(',', c.header, NamesOf(c.width), 2));
  const PassCounts pass = PassOver(c.input, ',', NamesOf(c.width), c.header);
  std::int64_t rows = 0;
  for (const std::int64_t length : read.batchLengths) rows += length;
  EXPECT_EQ(static_cast<std::uint64_t>(rows), pass.rows);
}

INSTANTIATE_TEST_SUITE_P(Cases, TextBatchTable, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

TEST(TextBatches, KeepsACellLongerThanTheTokenizersBufferWhole) {
  const std::string huge = std::string(2 * kBuffer + 17, 'x') + "\"y";
  const std::string input = "a,\"" + std::string(2 * kBuffer + 17, 'x') + "\"\"y\"\nb,c\n";
  const Read read = ReadAll(InputOf(input), TextLayout(',', false, NamesOf(2), 1));
  EXPECT_EQ(read.rows, "[a][" + huge + "]|[b][c]");
  EXPECT_EQ(read.batchLengths, (std::vector<std::int64_t>{1, 1}));
}

// Random rows of quoted and plain cells, blank lines and every line end,
// held against what the pass counts: its rows, and its rows too short to
// reach the last column, which are those with a null there.
TEST(TextBatches, AgreeWithThePassOnRandomFiles) {
  std::mt19937 random(20261210);
  const char* pieces[] = {"a", "", "\"q,\"", "\"\"\"\"", "\"l\nb\"", "7", "\"\"", " "};
  const char* ends[] = {"\n", "\r\n", "\r"};
  for (int file = 0; file < 200; ++file) {
    std::string input;
    const int rows = static_cast<int>(random() % 40);
    for (int r = 0; r < rows; ++r) {
      const int cells = static_cast<int>(random() % 5);
      for (int c = 0; c < cells; ++c) {
        if (c > 0) input += ',';
        input += pieces[random() % std::size(pieces)];
      }
      input += ends[random() % std::size(ends)];
    }
    const std::size_t width = 1 + random() % 3;
    const bool header = random() % 2 == 0;
    TextBatches batches(InputOf(input), TextLayout(',', header, NamesOf(width), 1 + random() % 4));
    std::uint64_t delivered = 0;
    std::uint64_t lastNull = 0;
    ArrowArray batch;
    while (batches.next(&batch)) {
      const ArrowArray* last = batch.children[width - 1];
      for (std::int64_t r = 0; r < batch.length; ++r) {
        const auto* validity = static_cast<const std::uint8_t*>(last->buffers[0]);
        lastNull += validity != nullptr && ArrowBitGet(validity, r) == 0;
      }
      delivered += static_cast<std::uint64_t>(batch.length);
      batch.release(&batch);
    }
    const PassCounts pass = PassOver(input, ',', NamesOf(width), header);
    ASSERT_EQ(delivered, pass.rows) << input;
    ASSERT_EQ(lastNull, pass.shorter) << input;
  }
}

// A load's memory beside its table is its chunks in flight, each with its
// batch: a batch of the default layout holds one load chunk of rows at most,
// on workers too, whatever the rows a batch may take.
TEST(TextBatches, HoldAtMostOneLoadChunkOfRowsPerBatchByDefault) {
  constexpr std::size_t kRowBytes = 64;
  const std::size_t rows = 4 * TextBatchLayout::kLoadChunkBytes / kRowBytes;
  std::string input = "n\n";
  for (std::size_t r = 0; r < rows; ++r) {
    const std::string number = std::to_string(r);
    input += std::string(kRowBytes - 1 - number.size(), '0') + number + "\n";
  }
  TextBatchLayout layout = TextLayout(',', true, {"n"}, rows);
  layout.threads = 2;
  const Read read = ReadAll(InputOf(input), std::move(layout));
  std::int64_t delivered = 0;
  for (const std::int64_t length : read.batchLengths) {
    EXPECT_LE(static_cast<std::size_t>(length) * kRowBytes,
              TextBatchLayout::kLoadChunkBytes + kRowBytes);
    delivered += length;
  }
  EXPECT_EQ(static_cast<std::size_t>(delivered), rows);
}

TEST(TextBatches, RefuseALayoutWithoutRowsOrColumns) {
  EXPECT_THAT([] { TextBatches(InputOf("a\n"), TextLayout(',', false, NamesOf(1), 0)); },
              ThrowsMessage<std::invalid_argument>(StrEq("a batch must hold at least one row")));
  EXPECT_THAT([] { TextBatches(InputOf("a\n"), TextLayout(',', false, {}, 1)); },
              ThrowsMessage<std::invalid_argument>(StrEq("the batches need at least one column")));
}

// ---- Typed columns -----------------------------------------------------------

quorvel::CellConversion Converted(quorvel::CellKind kind) {
  quorvel::CellConversion conversion;
  conversion.kind = kind;
  conversion.nullTexts = {"", "NA"};
  return conversion;
}

std::string ShownMisfits(const quorvel::ColumnMisfits& misfits) {
  std::string shown = std::to_string(misfits.cells) + ":";
  for (const quorvel::Misfit& misfit : misfits.first) {
    shown += " " + std::to_string(misfit.row) + "[" + misfit.text + "]";
  }
  return shown;
}

// Misfits counted over every batch, their rows from the first data row on,
// the first `misfitExamples` of each column kept; an absent or null cell is
// no misfit.
TEST(TextBatches, CountTheMisfitsOfEveryBatchAndKeepTheFirst) {
  TextBatchLayout layout = TextLayout(',', true, {"n", "day"}, 2);
  layout.conversions = {Converted(quorvel::CellKind::kInt64),
                        Converted(quorvel::CellKind::kDate32)};
  layout.misfitExamples = 2;
  TextBatches batches(InputOf("n,day\n1,2021-01-01\nx,NA\n3\n,2021-02-30\ny,z\nz,\n"),
                      std::move(layout));
  const auto misfits = batches.misfits();
  ArrowArray batch;
  std::vector<std::int64_t> nulls;
  while (batches.next(&batch)) {
    nulls.push_back(batch.children[0]->null_count);
    nulls.push_back(batch.children[1]->null_count);
    batch.release(&batch);
  }
  EXPECT_EQ(nulls, (std::vector<std::int64_t>{1, 1, 1, 2, 2, 2}));
  EXPECT_EQ(ShownMisfits((*misfits)[0]), "3: 1[x] 4[y]");
  EXPECT_EQ(ShownMisfits((*misfits)[1]), "2: 3[2021-02-30] 4[z]");
}

// A random file whose first column is mostly integers, and whose quoted
// line breaks and CR LF fall across many small chunks' cuts.
std::string RandomTypedFile(std::mt19937& random) {
  const char* pieces[] = {"12", "x", "", "\"3\"", "\"l\nb\"", "\"\r\n\"", "-7", "\"q,\""};
  const char* ends[] = {"\n", "\r\n", "\r"};
  std::string input = "n,t\n";
  for (int r = 0, rows = static_cast<int>(random() % 300); r < rows; ++r) {
    for (int c = 0, cells = static_cast<int>(random() % 4); c < cells; ++c) {
      if (c > 0) input += ',';
      input += pieces[random() % std::size(pieces)];
    }
    input += ends[random() % std::size(ends)];
  }
  return input;
}

struct ThreadedRead {
  Read read;
  std::string misfits;
  quorvel::PassStats stats;
};

ThreadedRead ReadTyped(const std::string& input, unsigned threads, std::size_t chunkBytes,
                       std::size_t batchRows) {
  TextBatchLayout layout = TextLayout(',', true, {"n", "t"}, batchRows);
  layout.conversions = {Converted(quorvel::CellKind::kInt64),
                        Converted(quorvel::CellKind::kLargeText)};
  layout.misfitExamples = 3;
  layout.threads = threads;
  layout.chunkBytes = chunkBytes;
  TextBatches batches(InputOf(input), std::move(layout));
  const Read read = ReadAll(batches);
  return ThreadedRead{read, ShownMisfits((*batches.misfits())[0]), *batches.stats()};
}

// One thread over one chunk is the oracle: two threads over chunks of a few
// bytes, most of them cut inside a row or a quoted line break and so
// tokenized again, give the same rows and misfits, their examples the first
// in the file. Over the same chunks, the batches are the same too.
TEST(TextBatches, BuildTheSameBatchesOnWorkersAsOnOneThread) {
  std::mt19937 random(20261211);
  quorvel::PassStats seen;
  for (int file = 0; file < 150; ++file) {
    const std::string input = RandomTypedFile(random);
    const std::size_t batchRows = 1 + random() % 5;
    const std::size_t chunkBytes = 8 + random() % 64;
    const ThreadedRead oracle = ReadTyped(input, 1, std::size_t{1} << 19, batchRows);
    const ThreadedRead alone = ReadTyped(input, 1, chunkBytes, batchRows);
    const ThreadedRead workers = ReadTyped(input, 2, chunkBytes, batchRows);
    ASSERT_EQ(workers.read.rows, oracle.read.rows) << input;
    ASSERT_EQ(workers.misfits, oracle.misfits) << input;
    ASSERT_EQ(alone.read.rows, oracle.read.rows) << input;
    ASSERT_EQ(alone.misfits, oracle.misfits) << input;
    ASSERT_EQ(workers.read.batchLengths, alone.read.batchLengths) << input;
    ExpectBatchesOfAtMost(workers.read, batchRows);
    EXPECT_EQ(alone.stats.workerChunks, 0u);
    seen.workerChunks += workers.stats.workerChunks;
    seen.reparsed += workers.stats.reparsed;
  }
  // On a busy machine the calling thread may take every chunk of these small
  // files before the worker wakes. A large file, read again until a worker
  // has taken a chunk of it, shows that workers build batches without the
  // test depending on how the threads are scheduled.
  std::string large = "n,t\n";
  for (int row = 0; row < 200000; ++row) large += std::to_string(row) + ",text\n";
  for (int read = 0; read < 100 && seen.workerChunks == 0; ++read) {
    seen.workerChunks += ReadTyped(large, 2, 4096, 1000).stats.workerChunks;
  }
  EXPECT_GT(seen.workerChunks, 0u);
  EXPECT_GT(seen.reparsed, 0u);
}

struct Failed {
  std::int64_t rows = 0;  // delivered before the failure
  std::string message;
};

Failed ReadUntilTheFailure(TextBatches& batches) {
  Failed failed;
  ArrowArray batch;
  try {
    while (batches.next(&batch)) {
      failed.rows += batch.length;
      batch.release(&batch);
    }
  } catch (const std::runtime_error& e) {
    failed.message = e.what();
  }
  return failed;
}

// A read that fails ends the threaded read where it ends the single-threaded
// one over the same chunks: the same rows first, then the same failure.
TEST(TextBatches, FailOnWorkersWhereOneThreadFails) {
  std::string input = "n,t\n";
  while (input.size() < 4 * kBuffer) input += std::to_string(input.size()) + ",\"a\nb\"\n";
  std::vector<Failed> failures;
  for (const unsigned threads : {1u, 2u}) {
    TextBatchLayout layout = TextLayout(',', true, {"n", "t"}, 3);
    layout.threads = threads;
    layout.chunkBytes = 1000;
    TextBatches batches(InputOf(input, 2 * kBuffer), std::move(layout));
    failures.push_back(ReadUntilTheFailure(batches));
    ArrowArray batch;
    EXPECT_THAT(
        [&] { batches.next(&batch); },
        ThrowsMessage<std::logic_error>(StrEq("these text batches were ended by a failure")));
  }
  EXPECT_EQ(failures[0].message, "cannot read 'memory' at byte " + std::to_string(2 * kBuffer));
  EXPECT_GT(failures[0].rows, 0);
  EXPECT_EQ(failures[1].message, failures[0].message);
  EXPECT_EQ(failures[1].rows, failures[0].rows);
}

TEST(TextBatches, TypeEachColumnByItsConversion) {
  TextBatchLayout layout = TextLayout(',', false, {"a", "b", "c", "d"}, 1);
  layout.conversions = {Converted(quorvel::CellKind::kText), Converted(quorvel::CellKind::kBool),
                        Converted(quorvel::CellKind::kFloat64),
                        Converted(quorvel::CellKind::kTimestampUtc)};
  TextBatches batches(InputOf("a\n"), std::move(layout));
  ArrowSchema schema;
  batches.schema(&schema);
  std::vector<std::string> formats;
  for (std::int64_t c = 0; c < schema.n_children; ++c)
    formats.push_back(schema.children[c]->format);
  EXPECT_EQ(formats, (std::vector<std::string>{"u", "b", "g", "tsu:UTC"}));
  schema.release(&schema);
}

TEST(TextBatches, RefuseConversionsThatDoNotMatchTheNames) {
  TextBatchLayout layout = TextLayout(',', false, NamesOf(2), 1);
  layout.conversions = {Converted(quorvel::CellKind::kInt64)};
  EXPECT_THAT(
      [&] { TextBatches(InputOf("a\n"), layout); },
      ThrowsMessage<std::invalid_argument>(StrEq("the batches need one conversion per column")));
}

// ---- The C stream ----------------------------------------------------------

struct Stream {
  ArrowArrayStream stream;
  std::shared_ptr<std::exception_ptr> failure = std::make_shared<std::exception_ptr>();

  Stream(std::unique_ptr<InputStream> input, TextBatchLayout layout) {
    quorvel::exportTextBatches(std::make_unique<TextBatches>(std::move(input), std::move(layout)),
                               failure, &stream);
  }
  ~Stream() { stream.release(&stream); }
};

TEST(TextBatchStream, GivesAStructOfLargeTextColumnsByName) {
  Stream s(InputOf("a\n"), TextLayout(',', false, {"id", "name"}, 1));
  ArrowSchema schema;
  ASSERT_EQ(s.stream.get_schema(&s.stream, &schema), 0);
  EXPECT_STREQ(schema.format, "+s");
  ASSERT_EQ(schema.n_children, 2);
  EXPECT_STREQ(schema.children[0]->format, "U");
  EXPECT_STREQ(schema.children[0]->name, "id");
  EXPECT_STREQ(schema.children[1]->name, "name");
  EXPECT_NE(schema.children[1]->flags & ARROW_FLAG_NULLABLE, 0);
  schema.release(&schema);
}

TEST(TextBatchStream, EndsWithAReleasedArrayAndStaysEnded) {
  Stream s(InputOf("a\nb\nc\n"), TextLayout(',', false, NamesOf(1), 2));
  std::vector<std::int64_t> lengths;
  ArrowArray batch;
  for (int call = 0; call < 5; ++call) {
    ASSERT_EQ(s.stream.get_next(&s.stream, &batch), 0);
    if (batch.release == nullptr) continue;
    lengths.push_back(batch.length);
    batch.release(&batch);
  }
  EXPECT_EQ(lengths, (std::vector<std::int64_t>{2, 1}));
  EXPECT_EQ(s.stream.get_last_error(&s.stream), nullptr);
}

// A read that fails after the first batch ends the stream with its message,
// kept as thrown for the caller, and every later call fails alike. The rows
// of the chunk being read when it failed are lost, as in the pass: chunks
// smaller than the part read give batches first.
TEST(TextBatchStream, EndsWithTheFailureOfARead) {
  std::string input;
  while (input.size() < 4 * kBuffer) input += "row" + std::to_string(input.size()) + "\n";
  TextBatchLayout layout = TextLayout(',', false, NamesOf(1), 100);
  layout.chunkBytes = kBuffer;
  Stream s(InputOf(input, 3 * kBuffer), std::move(layout));
  ArrowArray batch;
  ASSERT_EQ(s.stream.get_next(&s.stream, &batch), 0);
  batch.release(&batch);
  int code = 0;
  while ((code = s.stream.get_next(&s.stream, &batch)) == 0) {
    ASSERT_NE(batch.release, nullptr) << "the stream ended without the failure";
    batch.release(&batch);
  }
  EXPECT_EQ(code, EIO);
  const std::string message = "cannot read 'memory' at byte " + std::to_string(3 * kBuffer);
  EXPECT_STREQ(s.stream.get_last_error(&s.stream), message.c_str());
  EXPECT_EQ(s.stream.get_next(&s.stream, &batch), EIO);
  ASSERT_TRUE(*s.failure);
  EXPECT_THAT([&] { std::rethrow_exception(*s.failure); },
              ThrowsMessage<std::runtime_error>(StrEq(message)));
}

}  // namespace
