// The optional output of a pass: the header line, then one line per data row
// with the type name of each cell, by commas. The one place that knows the
// format: the calling thread and the counting workers both append lines here.
//
//   TypesFile file(true, "types.csv");
//   appendTypesLine(line, rowTypes.data(), width, table.names());  file.write(line);
#pragma once

#include <cstddef>
#include <fstream>
#include <string>
#include <vector>

#include "match/type_id.h"

namespace quorvel {

// Appends a line: the names of `types`, by id, by commas, and a line feed.
inline void appendTypesLine(std::string& line, const TypeId* types, std::size_t width,
                            const std::vector<std::string>& names) {
  for (std::size_t c = 0; c < width; ++c) {
    if (c > 0) line += ',';
    line += names[types[c]];
  }
  line += '\n';
}

// Failures do not stop the pass, whose counts are worth more than the file;
// the first one is kept, with the OS reason, for the caller.
class TypesFile {
 public:
  // Opens and truncates `path` when `enabled`.
  TypesFile(bool enabled, const std::string& path);

  bool enabled() const { return enabled_; }

  // Writes lines that end with their line feed.
  void write(const std::string& lines);
  // Writes the header line: `names` by commas, and a line feed. Each name goes
  // out from its own string, so that a huge one is not copied into a line.
  void writeNames(const std::vector<std::string>& names);
  void close();

  const std::string& error() const { return error_; }

 private:
  void write(const char* data, std::size_t size);
  void fail(const char* what);

  std::ofstream out_;
  bool enabled_;
  std::string path_;
  std::string error_;
};

}  // namespace quorvel
