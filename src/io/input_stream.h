// The input of a pass or of a column count, read once from the start of its
// source (byte_source.h). Input whose first bytes are the magic of gzip,
// bzip2, xz or zstd is decompressed while it is read, unless the source is a
// stretch cut from a file (ByteSource::isCutFromFile()); text in another
// encoding is turned into UTF-8 after that (transcoder.h). The magic is
// looked at without seeking, so a FIFO of compressed bytes works too.
//
//   InputStream input(openPath(path));
//   input.setReadHook([](const InputStream& in) { report(in.bytesRead()); });
//   CsvParser parser(input.stream());
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "io/byte_source.h"
#include "io/transcoder.h"

namespace quorvel {

enum class Compression { kNone, kGzip, kBzip2, kXz, kZstd };

// "none", "gzip", "bzip2", "xz" or "zstd".
const char* compressionName(Compression compression);

// The compression whose magic `head` starts with; kNone when it matches none
// or is too short to tell.
Compression compressionOf(const char* head, std::size_t size);

// Contracts:
//  - peek(), decodeAs(), setReadHook() and decompressAside() come before the
//    first read of stream(): they set up how it is read.
//  - stream() throws what a read failed with: the source's std::runtime_error
//    (naming it and the byte offset), std::runtime_error naming the source and
//    the decompressor's reason for a corrupt or truncated stream,
//    std::bad_alloc, and whatever the source or the hook throws.
class InputStream {
 public:
  // Called on the thread that reads stream(): before every refill of its
  // buffer, and every ByteSource::kWaitSliceMs while a read waits for data
  // that has not come yet (a FIFO). Whatever it throws leaves through the
  // read unchanged.
  using ReadHook = std::function<void(const InputStream&)>;

  static constexpr std::size_t kChunk = std::size_t{1} << 17;
  static constexpr int kWaitSliceMs = ByteSource::kWaitSliceMs;

  // Reads nothing yet: the source's first bytes, which tell whether it is
  // compressed, are read at the first need.
  explicit InputStream(std::unique_ptr<ByteSource> source);
  // The input of a path: std::runtime_error "Something is wrong with input
  // stream" when it cannot be opened. With `decompressAside`, see
  // decompressAside().
  explicit InputStream(const std::string& path, ReadHook hook = nullptr,
                       bool decompressAside = false);
  ~InputStream();
  InputStream(const InputStream&) = delete;
  InputStream& operator=(const InputStream&) = delete;

  // The first `size` bytes of the content, decompressed (fewer at its end).
  // stream() delivers them again.
  std::string_view peek(std::size_t size);
  // stream() delivers the content from its byte `skip` on (a byte order
  // mark), turned from `encoding` into UTF-8.
  void decodeAs(Encoding encoding, std::size_t skip);
  void setReadHook(ReadHook hook);
  // Compressed input is decompressed on a thread of its own, a few chunks
  // ahead of the reader, when its source can be read off this thread.
  void decompressAside();

  std::istream& stream();
  Compression compression();
  const ByteSource& source() const;
  // Bytes taken from the source so far: compressed bytes for compressed input.
  std::uint64_t bytesRead() const;
  // What the source delivers in all, when known: none for a FIFO or a device.
  std::optional<std::uint64_t> totalBytes() const;
  // The byte sequences of the content that did not decode, and the offset in
  // the content of the first; both 0 when it is read as UTF-8.
  std::uint64_t undecodable() const;
  std::uint64_t firstUndecodableAt() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quorvel
