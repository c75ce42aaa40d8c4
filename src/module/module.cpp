// The Python module: binds the engine's Inf class, one method per member,
// and the private entry points of the companion Python package (the pass
// with progress, the head of an input, the overlaps of a table, what the
// last multithreaded pass did, the first cells of each column and type and
// the ragged rows of the last pass). The shims are the pass, which checks for
// signals while it reads and turns a failure to write the requested types
// file into a RuntimeWarning instead of leaving it unsaid, and _overlaps and
// _cell_examples, which hand texts over as bytes.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include "inf.h"
#include "io/input_stream.h"
#include "match/pattern_table.h"

namespace py = pybind11;
using quorvel::Inf;

namespace {

using Progress = std::function<void(std::uint64_t, std::optional<std::uint64_t>, std::uint64_t)>;

// The lock stays held through the pass, so a signal's Python handler runs
// here, on the calling thread, and what it raises ends the pass.
void checkSignals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

void inferTypesReporting(Inf& inf, const std::optional<Progress>& progress) {
  inf.inferTypes([&progress](const quorvel::PassProgress& done) {
    checkSignals();
    if (progress) (*progress)(done.bytesRead, done.totalBytes, done.rows);
  });
  const std::string error = inf.getTypesFileError();
  if (error.empty()) return;
  // The message holds the path's bytes, which need not be valid UTF-8.
  auto message = py::reinterpret_steal<py::str>(PyUnicode_DecodeUTF8(
      error.data(), static_cast<Py_ssize_t>(error.size()), "backslashreplace"));
  py::module_::import("warnings").attr("warn")(message, py::handle(PyExc_RuntimeWarning), 1);
}

// What the object's last pass did on the pipeline, for the benchmark.
std::map<std::string, double> passStats(const Inf& inf) {
  const quorvel::PassStats& stats = inf.getPassStats();
  return {{"threads", static_cast<double>(stats.threads)},
          {"counted_apart", stats.countedApart ? 1.0 : 0.0},
          {"chunks", static_cast<double>(stats.chunks)},
          {"reparsed", static_cast<double>(stats.reparsed)},
          {"worker_chunks", static_cast<double>(stats.workerChunks)},
          {"unknown_fields", static_cast<double>(stats.unknownFields)},
          {"repeats_in_chunks", static_cast<double>(stats.repeatsInChunks)},
          {"misses_outside_cache", static_cast<double>(stats.missesOutsideCache)},
          {"read_seconds", stats.readSeconds},
          {"settle_seconds", stats.settleSeconds}};
}

using OverlapPairs = std::vector<std::tuple<std::string, std::string, py::bytes>>;

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

void inferTypes(Inf& inf) { inferTypesReporting(inf, std::nullopt); }

py::bytes readHead(const std::string& path, std::size_t size) {
  return py::bytes(quorvel::readHead(path, size));
}

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
  m.def("_infer_types", &inferTypesReporting, py::arg("inf"), py::arg("progress"), py::pos_only());
  m.def("_read_head", &readHead, py::arg("path"), py::arg("size"), py::pos_only());
  m.def("_pass_stats", &passStats, py::arg("inf"), py::pos_only());
  // Of the last pass: per column and type, its first cells as (text, data
  // row, whole length); and the data rows shorter and longer than the header.
  m.def("_cell_examples", &cellExamples, py::arg("inf"), py::pos_only());
  m.def("_ragged_rows", &raggedRows, py::arg("inf"), py::pos_only());
  // The threads of a multithreaded pass: 0 one per core, 1 the single-threaded pass.
  m.def("_set_pass_threads", &Inf::setPassThreads, py::arg("inf"), py::arg("threads"),
        py::pos_only());
  // Boost.Regex defines what a pattern means, so the tests compare the
  // version each build carries.
  m.attr("_boost_version") = quorvel::boostRegexVersion();
}
