// Writing the types file, and keeping its first failure.
#include "pass/types_file.h"

#include <cerrno>
#include <cstring>

namespace quorvel {

void appendTypesLine(std::string& line, const std::vector<std::string>& names) {
  for (std::size_t c = 0; c < names.size(); ++c) {
    if (c > 0) line += ',';
    line += names[c];
  }
  line += '\n';
}

TypesFile::TypesFile(bool enabled, const std::string& path) : enabled_(enabled), path_(path) {
  if (!enabled_) return;
  errno = 0;
  out_.open(path, std::ios::binary | std::ios::out | std::ios::trunc);
  if (!out_) fail("cannot open");
}

void TypesFile::write(const std::string& lines) {
  if (!out_.is_open()) return;
  errno = 0;
  out_.write(lines.data(), static_cast<std::streamsize>(lines.size()));
  if (!out_) fail("cannot write");
}

void TypesFile::close() {
  if (!out_.is_open()) return;
  errno = 0;
  out_.close();
  if (!out_) fail("cannot write");
}

void TypesFile::fail(const char* what) {
  const int reason = errno;
  if (error_.empty()) {
    error_ = std::string(what) + " the types file '" + path_ +
             "': " + (reason != 0 ? std::strerror(reason) : "unknown error");
  }
  // A stream in a failed state drops every later write, so close it once
  // and write nothing more.
  out_.close();
}

}  // namespace quorvel
