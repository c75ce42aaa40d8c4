// The Python module: binds the engine's Inf class, one method per member,
// and the private entry points of the companion Python package (an input
// opened from a path, a byte range, a file descriptor or a Python file
// object; the pass over it with progress and given column names; the
// overlaps of a table, what the last multithreaded pass did, the first cells
// of each column and type, the ragged rows of the last pass and whether its
// input ended at a row end; the cells of an input as a stream of Arrow
// record batches, converted by each column's verdict). The shims
// are the pass, which checks for signals while it reads and turns a failure
// to write the requested types file into a RuntimeWarning instead of leaving
// it unsaid, _overlaps and _cell_examples, which hand texts over as bytes,
// the source that reads a Python file object, and the cell stream, which
// takes the interpreter lock only to read Python objects and check signals.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include "inf.h"
#include "io/byte_source.h"
#include "io/input_stream.h"
#include "io/row_scan.h"
#include "load/text_batches.h"
#include "match/pattern_table.h"
#include "nanoarrow.h"

namespace py = pybind11;
using quorvel::Inf;

namespace {

using Progress = std::function<void(std::uint64_t, std::optional<std::uint64_t>, std::uint64_t)>;
using Names = std::vector<std::string>;

// Bytes as text to show, those that are not UTF-8 as escapes.
py::str shownText(const std::string& bytes) {
  PyObject* text =
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "backslashreplace");
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

// The lock stays held through the pass, so a signal's Python handler runs
// here, on the calling thread, and what it raises ends the pass.
void checkSignals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// A Python binary file object as a source: read with readinto() into the
// engine's buffer where the object has it, else read(). The pass holds the
// interpreter lock throughout; a cell stream is read and released wherever
// its consumer calls it, so every touch of a Python object takes the lock.
// `cutFromFile` says that it delivers a stretch of a file (the package's
// range reader).
class PythonFileSource final : public quorvel::ByteSource {
 public:
  PythonFileSource(py::object file, bool cutFromFile)
      : file_(std::move(file)), cutFromFile_(cutFromFile) {
    readinto_ = py::getattr(file_, "readinto", py::none());
    if (readinto_.is_none()) read_ = py::getattr(file_, "read", py::none());
    if (readinto_.is_none() && read_.is_none()) {
      throw py::type_error(
          "a source must be a path, a file descriptor or a binary file object "
          "with readinto() or read(), not " +
          std::string(py::str(py::type::of(file_).attr("__name__"))));
    }
    py::object name = py::getattr(file_, "name", py::none());
    name_ = py::isinstance<py::str>(name) ? name.cast<std::string>()
                                          : std::string(py::repr(file_).cast<std::string>());
    py::object size = py::getattr(file_, "size", py::none());
    if (py::isinstance<py::int_>(size)) size_ = size.cast<std::uint64_t>();
  }

  ~PythonFileSource() override {
    py::gil_scoped_acquire gil;
    file_ = py::object();
    readinto_ = py::object();
    read_ = py::object();
  }

  std::size_t read(char* s, std::size_t n) override {
    py::gil_scoped_acquire gil;
    const std::size_t got = readinto_.is_none() ? readCopy(s, n) : readInto(s, n);
    if (got > n) throw std::runtime_error("'" + name_ + "' returned more bytes than asked for");
    return got;
  }

  std::optional<std::uint64_t> size() const override { return size_; }
  bool readableOffThread() const override { return false; }
  const std::string& name() const override { return name_; }
  bool isFile(const std::string&) const override { return false; }
  bool isCutFromFile() const override { return cutFromFile_; }
  // Python's own read runs the signal handlers while it waits.
  void setWaitHook(WaitHook) override {}

 private:
  std::size_t readInto(char* s, std::size_t n) {
    auto view = py::reinterpret_steal<py::object>(
        PyMemoryView_FromMemory(s, static_cast<Py_ssize_t>(n), PyBUF_WRITE));
    if (!view) throw py::error_already_set();
    py::object got = readinto_(view);
    // The buffer is the engine's: no export of it may outlive the call.
    view.attr("release")();
    if (got.is_none()) {
      throw std::runtime_error("'" + name_ +
                               "' has no data ready: a non-blocking file cannot "
                               "be read");
    }
    return got.cast<std::size_t>();
  }

  std::size_t readCopy(char* s, std::size_t n) {
    py::object got = read_(n);
    if (!py::isinstance<py::bytes>(got)) {
      throw py::type_error("'" + name_ + "' must be opened in binary mode: read() returned " +
                           std::string(py::str(py::type::of(got).attr("__name__"))));
    }
    const std::string bytes = got.cast<std::string>();
    std::memcpy(s, bytes.data(), std::min(bytes.size(), n));
    return bytes.size();
  }

  py::object file_;
  bool cutFromFile_;
  py::object readinto_;
  py::object read_;
  std::string name_;
  std::optional<std::uint64_t> size_;
};

// An opened input for one pass, after the package has looked at its head.
// Shared with the cell stream that reads it, which may outlive this object.
struct Input {
  std::shared_ptr<quorvel::InputStream> stream;
  bool used = false;

  quorvel::InputStream& forPass() {
    if (used) throw std::runtime_error("this input was read by a pass already");
    used = true;
    return *stream;
  }
};

std::unique_ptr<quorvel::ByteSource> sourceOf(const py::object& source,
                                              std::optional<std::uint64_t> start,
                                              std::optional<std::uint64_t> end, bool cutFromFile) {
  const bool ranged = start || end;
  const bool path = py::isinstance<py::str>(source);
  const bool descriptor = py::isinstance<py::int_>(source);
  if (ranged && !path) throw py::value_error("a byte range needs a path");
  if (cutFromFile && (path || descriptor)) {
    throw py::value_error("cut_from_file is said of a file object only");
  }
  if (descriptor) return quorvel::openDescriptor(source.cast<int>());
  if (!path) return std::make_unique<PythonFileSource>(source, cutFromFile);
  const auto name = source.cast<std::string>();
  if (name.find('\0') != std::string::npos) {
    throw py::value_error("the CSV file path contains a NUL byte");
  }
  if (!ranged) return quorvel::openPath(name);
  return quorvel::openRange(name, start.value_or(0),
                            end.value_or(std::numeric_limits<std::uint64_t>::max()));
}

std::unique_ptr<Input> openInput(const py::object& source, std::optional<std::uint64_t> start,
                                 std::optional<std::uint64_t> end, bool cutFromFile) {
  auto input = std::make_unique<Input>();
  input->stream = std::make_unique<quorvel::InputStream>(sourceOf(source, start, end, cutFromFile));
  // Reading the head may wait on a pipe too: Ctrl-C must reach the caller then.
  input->stream->setReadHook([](const quorvel::InputStream&) { checkSignals(); });
  return input;
}

void decodeAs(Input& input, const std::string& encoding, std::size_t skip) {
  const std::optional<quorvel::Encoding> known = quorvel::encodingNamed(encoding);
  if (!known) throw py::value_error("the engine does not decode '" + encoding + "' itself");
  input.stream->decodeAs(*known, skip);
}

// The content as it comes, decompressed, for a decoder in Python: the input
// is then no longer for a pass.
std::size_t readContent(Input& input, py::buffer buffer) {
  const py::buffer_info info = buffer.request(true);
  if (info.ndim != 1 || info.itemsize != 1) throw py::value_error("a bytes-like buffer is needed");
  input.used = true;
  std::istream& stream = input.stream->stream();
  stream.read(static_cast<char*>(info.ptr), info.size);
  return static_cast<std::size_t>(stream.gcount());
}

void inferTypesReporting(Inf& inf, const std::optional<Progress>& progress, Input* input,
                         const std::optional<std::vector<std::string>>& names, bool header) {
  const auto hook = [&progress](const quorvel::PassProgress& done) {
    checkSignals();
    if (progress) (*progress)(done.bytesRead, done.totalBytes, done.rows);
  };
  if (names && names->empty()) throw py::value_error("names must name at least one column");
  if (input == nullptr) {
    if (names) throw py::value_error("names need an input");
    inf.inferTypes(hook);
  } else {
    inf.inferTypes(input->forPass(), quorvel::ColumnLayout{names.value_or(Names{}), header}, hook);
  }
  const std::string error = inf.getTypesFileError();
  if (error.empty()) return;
  // The message holds the path's bytes, which need not be valid UTF-8.
  py::module_::import("warnings")
      .attr("warn")(shownText(error), py::handle(PyExc_RuntimeWarning), 1);
}

// What a pipeline did, for the benchmark and the tests.
std::map<std::string, double> statsOf(const quorvel::PassStats& stats) {
  return {{"threads", static_cast<double>(stats.threads)},
          {"counted_apart", stats.countedApart ? 1.0 : 0.0},
          {"chunks", static_cast<double>(stats.chunks)},
          {"reparsed", static_cast<double>(stats.reparsed)},
          {"worker_chunks", static_cast<double>(stats.workerChunks)},
          {"unknown_fields", static_cast<double>(stats.unknownFields)},
          {"texts_across_chunks", static_cast<double>(stats.textsAcrossChunks)},
          {"read_seconds", stats.readSeconds},
          {"settle_seconds", stats.settleSeconds},
          {"link_seconds", stats.linkSeconds}};
}

// The cells of an input for Arrow's PyCapsule interface: its stream is
// exported once, since an input is read once. A failure while the consumer
// reads it reaches Python as the consumer's own error with the engine's
// message; raise_failure() raises it as it was thrown (KeyboardInterrupt, or
// the RuntimeError of a failed read), as the pass would have. misfits()
// gives those of the batches read so far.
class CellStream {
 public:
  explicit CellStream(std::unique_ptr<quorvel::TextBatches> batches)
      : batches_(std::move(batches)),
        misfits_(batches_->misfits()),
        stats_(batches_->stats()),
        notUtf8Batches_(batches_->notUtf8Batches()),
        failure_(std::make_shared<std::exception_ptr>()) {}

  // The schema a consumer asks for is not offered: the cells are text, which
  // the protocol lets a producer give as it is.
  py::capsule exportStream(const py::object& /*requestedSchema*/) {
    if (!batches_) throw std::runtime_error("the cells were read already: an input is read once");
    // Value-initialized: nothing to release until the export fills it.
    auto owned = std::make_unique<ArrowArrayStream>();
    py::capsule capsule(owned.get(), "arrow_array_stream", &releaseCapsule);
    ArrowArrayStream* stream = owned.release();  // the capsule's from here
    quorvel::exportTextBatches(std::move(batches_), failure_, stream);
    return capsule;
  }

  void raiseFailure() {
    if (*failure_) std::rethrow_exception(std::exchange(*failure_, nullptr));
  }

  // Per column, its misfits and the first of them as (data row from 0,
  // text); a text that is not UTF-8 shows its bytes as escapes.
  using ShownMisfits = std::vector<std::pair<std::int64_t, py::str>>;
  std::vector<std::pair<std::int64_t, ShownMisfits>> misfits() const {
    std::vector<std::pair<std::int64_t, ShownMisfits>> columns;
    for (const quorvel::ColumnMisfits& column : *misfits_) {
      ShownMisfits first;
      for (const quorvel::Misfit& misfit : column.first) {
        first.emplace_back(misfit.row, shownText(misfit.text));
      }
      columns.emplace_back(column.cells, std::move(first));
    }
    return columns;
  }

  // What the pipeline did so far, for the tests: as _pass_stats gives a pass's.
  std::map<std::string, double> stats() const { return statsOf(*stats_); }

  // Of the batches read so far, those with text that is not UTF-8.
  std::int64_t notUtf8Batches() const { return *notUtf8Batches_; }

 private:
  // A stream its consumer moved out is released by the consumer: the capsule
  // releases only one left in it.
  static void releaseCapsule(PyObject* capsule) {
    auto* stream =
        static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (stream->release != nullptr) stream->release(stream);
    delete stream;
  }

  std::unique_ptr<quorvel::TextBatches> batches_;
  std::shared_ptr<const std::vector<quorvel::ColumnMisfits>> misfits_;
  std::shared_ptr<const quorvel::PassStats> stats_;
  std::shared_ptr<const std::int64_t> notUtf8Batches_;
  std::shared_ptr<std::exception_ptr> failure_;
};

// A column's conversion as the package gives it: (Arrow type name, null
// texts, padded, grouped, strptime format or "" for ISO 8601).
using ConversionSpec = std::tuple<std::string, Names, bool, bool, std::string>;
using BooleanTexts = std::pair<Names, Names>;

std::vector<quorvel::CellConversion> conversionsOf(const std::vector<ConversionSpec>& specs,
                                                   const BooleanTexts& booleans) {
  std::vector<quorvel::CellConversion> conversions;
  for (const auto& [type, nullTexts, padded, grouped, format] : specs) {
    conversions.push_back(quorvel::CellConversion{quorvel::cellKindNamed(type), nullTexts, padded,
                                                  grouped, quorvel::dateLayoutOf(format),
                                                  booleans.first, booleans.second});
  }
  return conversions;
}

std::unique_ptr<CellStream> readCells(Input& input, char delimiter, bool header, Names names,
                                      std::size_t batchRows,
                                      const std::optional<std::vector<ConversionSpec>>& conversions,
                                      const std::optional<BooleanTexts>& booleans,
                                      std::size_t misfitExamples, unsigned threads,
                                      std::optional<std::size_t> chunkBytes) {
  if (input.used) throw std::runtime_error("this input was read by a pass already");
  if (names.empty()) throw py::value_error("names must name at least one column");
  if (batchRows == 0) throw py::value_error("batch_rows must be at least 1");
  if (conversions && conversions->size() != names.size()) {
    throw py::value_error("conversions must give one conversion per name");
  }
  input.used = true;
  // The consumer may read without the lock, on any thread: only the main
  // thread runs signal handlers, and it needs the lock to.
  input.stream->setReadHook([](const quorvel::InputStream&) {
    py::gil_scoped_acquire gil;
    checkSignals();
  });
  quorvel::TextBatchLayout layout{delimiter,
                                  header,
                                  std::move(names),
                                  batchRows,
                                  conversionsOf(conversions.value_or(std::vector<ConversionSpec>{}),
                                                booleans.value_or(BooleanTexts{})),
                                  misfitExamples,
                                  threads};
  if (chunkBytes) layout.chunkBytes = *chunkBytes;
  return std::make_unique<CellStream>(
      std::make_unique<quorvel::TextBatches>(input.stream, std::move(layout)));
}

// What the object's last pass did on the pipeline, for the benchmark.
std::map<std::string, double> passStats(const Inf& inf) { return statsOf(inf.getPassStats()); }

using OverlapPairs = std::vector<std::tuple<std::string, std::string, py::bytes>>;

// The bytes of `data`, which the caller keeps alive while the view is used.
std::string_view viewOf(const py::bytes& data) {
  return {PyBytes_AS_STRING(data.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr()))};
}

// A piece's quotes and its first row starts after an even and an odd number of them. The
// piece is any contiguous bytes-like object, so that a caller can scan a buffer it fills
// again and again rather than allocate each block.
std::tuple<std::size_t, std::optional<std::size_t>, std::optional<std::size_t>> scanQuotes(
    const py::object& data) {
  if (!PyObject_CheckBuffer(data.ptr())) {
    throw py::type_error("_scan_quotes reads a bytes-like object, not " +
                         std::string(py::str(py::type::of(data).attr("__name__"))));
  }
  const py::buffer_info piece = py::reinterpret_borrow<py::buffer>(data).request();
  if (piece.ndim != 1 || piece.itemsize != 1 || piece.strides[0] != 1) {
    throw py::type_error("_scan_quotes reads contiguous bytes");
  }
  py::gil_scoped_release unlocked;
  const quorvel::QuoteParity found = quorvel::scanQuotes(static_cast<const char*>(piece.ptr),
                                                         static_cast<std::size_t>(piece.size));
  return {found.quotes, found.afterEven, found.afterOdd};
}

int followRows(const py::bytes& data, char delimiter, int state) {
  const std::string_view bytes = viewOf(data);
  py::gil_scoped_release unlocked;
  return quorvel::followRows(bytes.data(), bytes.size(), delimiter, state);
}

std::pair<OverlapPairs, std::vector<std::string>> overlaps(
    const quorvel::PatternStrings& patterns) {
  quorvel::TableOverlaps found = quorvel::tableOverlaps(patterns);
  OverlapPairs pairs;
  for (const auto& pair : found.pairs) {
    pairs.emplace_back(pair.first, pair.second, py::bytes(pair.witness));
  }
  return {std::move(pairs), std::move(found.unanalysed)};
}

// Cell texts are bytes in the file's encoding, which need not be UTF-8: the
// package decodes them knowing the encoding. The third item is the byte
// length of the whole text, longer than the bytes given when it was cut.
using KeptCells = std::vector<std::tuple<py::bytes, std::uint64_t, std::size_t>>;

std::unordered_map<std::string, std::unordered_map<std::string, KeptCells>> cellExamples(
    const Inf& inf) {
  std::unordered_map<std::string, std::unordered_map<std::string, KeptCells>> result;
  for (const auto& [column, byType] : inf.getCellExamples()) {
    auto& types = result[column];
    for (const auto& [type, examples] : byType) {
      KeptCells& cells = types[type];
      for (const quorvel::CellExample& example : examples) {
        cells.emplace_back(py::bytes(example.text), example.row, example.bytes);
      }
    }
  }
  return result;
}

std::pair<std::uint64_t, std::uint64_t> raggedRows(const Inf& inf) {
  const quorvel::RaggedRows ragged = inf.getRaggedRows();
  return {ragged.shorter, ragged.longer};
}

void inferTypes(Inf& inf) { inferTypesReporting(inf, std::nullopt, nullptr, std::nullopt, true); }

}  // namespace

PYBIND11_MODULE(quorvel_ext, m) {
  m.doc() = "The quorvel Python interface";
  m.def("_overlaps", &overlaps, py::arg("col_type_patterns"), py::pos_only());
  py::class_<Inf>(m, "Inf")
      .def(py::init<std::string, char, const quorvel::PatternStrings&,
                    std::unordered_set<std::string>, bool, bool, std::string, int>(),
           py::arg("filepath"), py::arg("delimiter"), py::arg("col_type_patterns"),
           py::arg("na_values"), py::arg("multithreading"), py::arg("save_types_file"),
           py::arg("types_filepath"), py::arg("rolling_cache_window"))
      .def("infer_types", &inferTypes)
      .def("set_col_type_patterns", &Inf::setColTypePatterns)
      .def("set_na_values", &Inf::setNaValues)
      .def("set_filepath", &Inf::setFilepath)
      .def("set_delimiter", &Inf::setDelimiter)
      .def("set_multithreading", &Inf::setMultithreading)
      .def("set_save_types_file", &Inf::setSaveTypesFile)
      .def("set_types_filepath", &Inf::setTypesFilepath)
      .def("set_rolling_cache_window", &Inf::setRollingCacheWindow)
      .def("get_col_type_patterns", &Inf::getColTypePatterns)
      .def("get_na_values", &Inf::getNaValues)
      .def("get_filepath", &Inf::getFilepath)
      .def("get_delimiter", &Inf::getDelimiter)
      .def("get_multithreading", &Inf::getMultithreading)
      .def("get_save_types_file", &Inf::getSaveTypesFile)
      .def("get_types_filepath", &Inf::getTypesFilepath)
      .def("get_rolling_cache_window", &Inf::getRollingCacheWindow)
      .def("get_col_type_candidates", &Inf::getColTypeCandidates)
      .def_property_readonly("num_rows", &Inf::getNumRows)
      .def_property_readonly("col_names", &Inf::getColNames);
  // One input for one pass: a path (with an optional byte range), a file
  // descriptor, or a binary file object. The package peeks at its head,
  // says how to decode it, then hands it to _infer_types.
  py::class_<Input>(m, "_Input")
      .def(
          "peek",
          [](Input& input, std::size_t size) {
            return py::bytes(std::string(input.stream->peek(size)));
          },
          py::arg("size"), py::pos_only())
      .def("readinto", &readContent, py::arg("buffer"), py::pos_only())
      .def("decode_as", &decodeAs, py::arg("encoding"), py::arg("skip"), py::pos_only())
      .def_property_readonly(
          "compression",
          [](Input& input) { return quorvel::compressionName(input.stream->compression()); })
      .def_property_readonly("name",
                             [](const Input& input) { return input.stream->source().name(); })
      .def_property_readonly("size", [](const Input& input) { return input.stream->totalBytes(); })
      .def_property_readonly("bytes_read",
                             [](const Input& input) { return input.stream->bytesRead(); })
      .def_property_readonly("undecodable", [](const Input& input) {
        return std::make_pair(input.stream->undecodable(), input.stream->firstUndecodableAt());
      });
  // A byte range of a path, or a file object said to be cut from a file, is
  // read as it is, whatever its first bytes: never as compressed input.
  m.def("_open_input", &openInput, py::arg("source"), py::pos_only(), py::arg("start") = py::none(),
        py::arg("end") = py::none(), py::arg("cut_from_file") = false);
  m.def("_infer_types", &inferTypesReporting, py::arg("inf"), py::arg("progress"), py::pos_only(),
        py::arg("input") = py::none(), py::arg("names") = py::none(), py::arg("header") = true);
  m.def("_pass_stats", &passStats, py::arg("inf"), py::pos_only());
  // The cells of an input, after the lines before its table, as record
  // batches of columns named `names`, of large_string without conversions
  // (see load/text_batches.h and load/typed_cells.h).
  py::class_<CellStream>(m, "_CellStream")
      .def("__arrow_c_stream__", &CellStream::exportStream,
           py::arg("requested_schema") = py::none())
      .def("raise_failure", &CellStream::raiseFailure)
      .def("misfits", &CellStream::misfits)
      .def("not_utf8_batches", &CellStream::notUtf8Batches)
      .def("stats", &CellStream::stats);
  m.def("_read_cells", &readCells, py::arg("input"), py::pos_only(), py::arg("delimiter"),
        py::arg("header"), py::arg("names"), py::arg("batch_rows"),
        py::arg("conversions") = py::none(), py::arg("booleans") = py::none(),
        py::arg("misfit_examples") = 0, py::arg("threads") = 0,
        py::arg("chunk_bytes") = py::none());
  // Whether the input of the last pass ended where a row ends, outside
  // quotes (see Inf::getEndedAtRowEnd): a byte range counted apart held
  // whole rows only.
  m.def("_ended_at_row_end", &Inf::getEndedAtRowEnd, py::arg("inf"), py::pos_only());
  // Of the last pass: per column and type, its first cells as (text, data
  // row, whole length); and the data rows shorter and longer than the header.
  m.def("_cell_examples", &cellExamples, py::arg("inf"), py::pos_only());
  m.def("_ragged_rows", &raggedRows, py::arg("inf"), py::pos_only());
  // The threads of a multithreaded pass: 0 one per core, 1 the single-threaded pass.
  m.def("_set_pass_threads", &Inf::setPassThreads, py::arg("inf"), py::arg("threads"),
        py::pos_only());
  // For the byte ranges of one file counted apart: where rows start by quote
  // parity, and the tokenizer's state after a piece (0 at a row start, 4 just
  // past a row's end, 12 past a CR whose LF may follow; see io/row_scan.h).
  m.def("_scan_quotes", &scanQuotes, py::arg("data"), py::pos_only());
  m.def("_follow_rows", &followRows, py::arg("data"), py::arg("delimiter"), py::arg("state"),
        py::pos_only());
  // Boost.Regex defines what a pattern means, so the tests compare the
  // version each build carries.
  m.attr("_boost_version") = quorvel::boostRegexVersion();
}
