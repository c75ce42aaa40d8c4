// The input of a pass or of a column count: a file, FIFO or any readable path,
// read once from its start. Input whose first bytes are the magic of gzip,
// bzip2, xz or zstd is decompressed while it is read; anything else is handed
// on as the bytes it is. The magic is looked at without seeking, so a FIFO of
// compressed bytes works too.
//
//   InputStream input(path, [](const InputStream& in) { report(in.bytesRead()); });
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

namespace quorvel {

enum class Compression { kNone, kGzip, kBzip2, kXz, kZstd };

// The compression whose magic `head` starts with; kNone when it matches none
// or is too short to tell.
Compression compressionOf(const char* head, std::size_t size);

class InputStream {
 public:
  // Called on the thread that reads stream(): before every refill of its
  // buffer, and every kWaitSlice while a read waits for data that has not
  // come yet (a FIFO). Whatever it throws leaves through the read unchanged.
  using ReadHook = std::function<void(const InputStream&)>;

  static constexpr std::size_t kChunk = std::size_t{1} << 17;
  static constexpr int kWaitSliceMs = 50;

  // Opens `path` and reads the magic; std::runtime_error "Something is wrong
  // with input stream" when it cannot be opened. With `decompressAside`,
  // compressed input is decompressed on a thread of its own, a few chunks
  // ahead of the reader.
  explicit InputStream(const std::string& path, ReadHook hook = nullptr,
                       bool decompressAside = false);
  ~InputStream();
  InputStream(const InputStream&) = delete;
  InputStream& operator=(const InputStream&) = delete;

  // Reads throw what failed: std::runtime_error naming the path and the
  // decompressor's reason for a corrupt or truncated stream, "Cannot read
  // input stream: " and the OS reason for a failed read, std::bad_alloc.
  std::istream& stream();
  Compression compression() const;
  // Bytes taken from the path so far: compressed bytes for compressed input.
  std::uint64_t bytesRead() const;
  // The size of a regular file; none for a FIFO or a device.
  std::optional<std::uint64_t> totalBytes() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The first `size` bytes (fewer at the end) of the content of `path` as
// InputStream::stream() delivers it.
std::string readHead(const std::string& path, std::size_t size);

}  // namespace quorvel
