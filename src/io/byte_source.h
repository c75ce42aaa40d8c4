// Where the bytes of a pass come from: a path, an open file descriptor (a
// FIFO, a pipe, standard input), a byte range of a seekable file, or anything
// else that fills a buffer on request (the binding's Python file objects).
// Decompression and transcoding stack on top of any source (input_stream.h).
//
//   std::unique_ptr<ByteSource> source = openPath("data.csv");
//   std::size_t got = source->read(buffer, sizeof buffer);  // 0 only at the end
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quorvel {

// Contracts:
//  - read() gives at least one byte, or 0 at the end of the source. It never
//    takes a failure for the end: it throws std::runtime_error naming the
//    source and the byte offset where the read failed.
//  - A source is read by one thread at a time; readableOffThread() says
//    whether that may be a thread other than the one that made it.
class ByteSource {
 public:
  // Run every kWaitSliceMs while a read waits for data that has not come yet
  // (a quiet FIFO or pipe), on the thread that reads. What it throws leaves
  // through the read.
  using WaitHook = std::function<void()>;
  static constexpr int kWaitSliceMs = 50;

  virtual ~ByteSource() = default;

  virtual std::size_t read(char* s, std::size_t n) = 0;
  // The bytes a whole read delivers, when known before the first read.
  virtual std::optional<std::uint64_t> size() const = 0;
  virtual bool readableOffThread() const = 0;
  // How messages name the source: its path, URL or descriptor.
  virtual const std::string& name() const = 0;
  // Whether `path` names the very file this source reads.
  virtual bool isFile(const std::string& path) const = 0;
  // Whether the source delivers a stretch cut from inside a file, such as a
  // byte range: its first bytes are whatever the cut fell on, a row that may
  // begin like a compressed format's magic, so they are read as they are.
  virtual bool isCutFromFile() const = 0;
  virtual void setWaitHook(WaitHook hook) = 0;
};

// A path opened for reading; std::runtime_error "Something is wrong with
// input stream" when it cannot be opened.
std::unique_ptr<ByteSource> openPath(const std::string& path);

// A copy of the open descriptor `fd` (the caller keeps its own), read from
// where it stands. std::runtime_error when `fd` is not open.
std::unique_ptr<ByteSource> openDescriptor(int fd);

// Bytes [start, end) of the regular file at `path`, or fewer where the file
// ends before `end`: a stretch cut from the file (isCutFromFile()).
// std::invalid_argument when start > end; the errors of openPath(), and
// std::runtime_error when the path is not a regular file.
std::unique_ptr<ByteSource> openRange(const std::string& path, std::uint64_t start,
                                      std::uint64_t end);

}  // namespace quorvel
