// Writing the types file, and keeping its first failure.
#include "pass/types_file.h"

#include <cerrno>
#include <cstring>

namespace quorvel {

TypesFile::TypesFile(bool enabled, const std::string& path) : enabled_(enabled), path_(path) {
  if (!enabled_) return;
  errno = 0;
  out_.open(path, std::ios::binary | std::ios::out | std::ios::trunc);
  if (!out_) fail("cannot open");
}

void TypesFile::write(const std::string& lines) { write(lines.data(), lines.size()); }

void TypesFile::writeNames(const std::vector<std::string>& names) {
  for (std::size_t c = 0; c < names.size(); ++c) {
    if (c > 0) write(",", 1);
    write(names[c].data(), names[c].size());
  }
  write("\n", 1);
}

void TypesFile::write(const char* data, std::size_t size) {
  if (!out_.is_open()) return;
  errno = 0;
  out_.write(data, static_cast<std::streamsize>(size));
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
