// Reading a pass's input: the recognition of the compressed formats by their
// magic, the decompressors (Boost.Iostreams, and
// libzstd directly, whose end-of-input check Boost's zstd filter lacks), the
// translation of their failures, the thread that decompresses ahead, and the
// layers above: the peeked head and transcoding.
#include "io/input_stream.h"

#include <zstd.h>

#include <algorithm>
#include <array>
#include <boost/iostreams/categories.hpp>
#include <boost/iostreams/filter/bzip2.hpp>
#include <boost/iostreams/filter/gzip.hpp>
#include <boost/iostreams/filter/lzma.hpp>
#include <boost/iostreams/filter/symmetric.hpp>
#include <boost/iostreams/filtering_streambuf.hpp>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

namespace quorvel {

namespace io = boost::iostreams;

namespace {

// Enough bytes to tell every format apart from text that happens to start
// like one: bzip2 needs its level digit and the magic of its first block.
constexpr std::size_t kMagicBytes = 10;

// Thrown by the thread that decompresses ahead when its reader has gone.
struct Stopped {};

// What a decompressor reports about its input, before the path is known.
struct DecodeFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

constexpr char kTruncated[] = "the compressed data ends early";

// A zstd decoder for Boost's symmetric filter. Boost's own zstd filter takes
// input that ends inside a frame for a complete stream; this one does not.
class ZstdDecoder {
 public:
  using char_type = char;

  ZstdDecoder() : stream_(ZSTD_createDStream()) {
    if (stream_ == nullptr) throw std::bad_alloc();
  }
  ~ZstdDecoder() { ZSTD_freeDStream(stream_); }
  ZstdDecoder(const ZstdDecoder&) = delete;
  ZstdDecoder& operator=(const ZstdDecoder&) = delete;

  // `flush` says that the input has ended; false means no output will follow.
  bool filter(const char*& inBegin, const char* inEnd, char*& outBegin, char* outEnd, bool flush) {
    ZSTD_inBuffer in{inBegin, static_cast<std::size_t>(inEnd - inBegin), 0};
    ZSTD_outBuffer out{outBegin, static_cast<std::size_t>(outEnd - outBegin), 0};
    // A call stops at the end of a frame, but Boost drops the input a filter
    // leaves while it has room for output: decode on into the next frame.
    for (;;) {
      const std::size_t inBefore = in.pos;
      const std::size_t outBefore = out.pos;
      const std::size_t hint = ZSTD_decompressStream(stream_, &out, &in);
      if (ZSTD_isError(hint)) throw DecodeFailure(ZSTD_getErrorName(hint));
      // The hint is 0 exactly where a frame has ended and been written out;
      // a call that moved nothing leaves the last answer standing.
      const bool moved = in.pos > inBefore || out.pos > outBefore;
      if (moved) insideFrame_ = hint != 0;
      if (!moved || in.pos == in.size || out.pos == out.size) break;
    }
    inBegin += in.pos;
    outBegin += out.pos;
    if (!flush || out.pos > 0) return true;
    if (insideFrame_) throw DecodeFailure(kTruncated);
    return false;
  }

  void close() {
    ZSTD_DCtx_reset(stream_, ZSTD_reset_session_only);
    insideFrame_ = false;
  }

 private:
  ZSTD_DStream* stream_;
  bool insideFrame_ = false;
};

std::string gzipReason(const io::gzip_error& e) {
  if (e.error() == io::gzip::zlib_error) {
    if (e.zlib_error_code() == io::zlib::buf_error) return kTruncated;
    if (e.zlib_error_code() == io::zlib::data_error) return "invalid compressed data";
    return "zlib error " + std::to_string(e.zlib_error_code());
  }
  if (e.error() == io::gzip::bad_crc) return "CRC check failed";
  if (e.error() == io::gzip::bad_length) return "length check failed";
  if (e.error() == io::gzip::bad_header) return "invalid or truncated member header";
  if (e.error() == io::gzip::bad_footer) return kTruncated;
  if (e.error() == io::gzip::bad_method) return "unknown compression method";
  return "gzip error " + std::to_string(e.error());
}

std::string bzip2Reason(const io::bzip2_error& e) {
  if (e.error() == io::bzip2::unexpected_eof) return kTruncated;
  if (e.error() == io::bzip2::data_error) return "invalid compressed data";
  if (e.error() == io::bzip2::data_error_magic) return "invalid stream header";
  return "bzip2 error " + std::to_string(e.error());
}

std::string xzReason(const io::lzma_error& e) {
  if (e.error() == io::lzma::buf_error) return kTruncated;
  if (e.error() == io::lzma::data_error) return "invalid compressed data";
  if (e.error() == io::lzma::options_error) return "unsupported options";
  if (e.error() == io::lzma::unsupported_check) return "unsupported integrity check";
  return "xz error " + std::to_string(e.error());
}

}  // namespace

const char* compressionName(Compression compression) {
  switch (compression) {
    case Compression::kNone:
      return "none";
    case Compression::kGzip:
      return "gzip";
    case Compression::kBzip2:
      return "bzip2";
    case Compression::kXz:
      return "xz";
    case Compression::kZstd:
      return "zstd";
  }
  return "unknown";
}

Compression compressionOf(const char* head, std::size_t size) {
  const auto startsWith = [&](std::string_view magic, std::size_t at = 0) {
    return size >= at + magic.size() && std::memcmp(head + at, magic.data(), magic.size()) == 0;
  };
  using namespace std::string_view_literals;
  if (startsWith("\x1f\x8b\x08"sv)) return Compression::kGzip;
  if (startsWith("\xfd"
                 "7zXZ\0"sv))
    return Compression::kXz;
  if (startsWith("\x28\xb5\x2f\xfd"sv)) return Compression::kZstd;
  // "BZh" starts ordinary text too: a level digit and the magic of a first
  // block, or of the end of an empty stream, must follow.
  if (startsWith("BZh"sv) && size > 3 && head[3] >= '1' && head[3] <= '9' &&
      (startsWith("\x31\x41\x59\x26\x53\x59"sv, 4) ||
       startsWith("\x17\x72\x45\x38\x50\x90"sv, 4))) {
    return Compression::kBzip2;
  }
  return Compression::kNone;
}

// The source's bytes as they come, the magic read ahead first. Shared by the
// reader and, with decompression ahead, by the decompressing thread.
struct RawInput {
  std::unique_ptr<ByteSource> source;
  std::atomic<std::uint64_t> bytesRead{0};
  std::string head;
  std::size_t headUsed = 0;

  // Up to n bytes; 0 only at the end of the input.
  std::size_t read(char* s, std::size_t n) {
    if (headUsed < head.size()) {
      const std::size_t taken = std::min(n, head.size() - headUsed);
      std::memcpy(s, head.data() + headUsed, taken);
      headUsed += taken;
      return taken;
    }
    const std::size_t got = source->read(s, n);
    bytesRead.fetch_add(got, std::memory_order_relaxed);
    return got;
  }

  // Reads until `n` bytes or the end: the magic of a FIFO may come in pieces.
  std::size_t readFully(char* s, std::size_t n) {
    std::size_t done = 0;
    for (std::size_t got; done < n && (got = read(s + done, n - done)) > 0;) done += got;
    return done;
  }
};

namespace {

// RawInput as a Boost.Iostreams source; copies share the one input.
class RawSource {
 public:
  using char_type = char;
  using category = io::source_tag;

  explicit RawSource(RawInput* input) : input_(input) {}

  std::streamsize read(char* s, std::streamsize n) {
    const std::size_t got = input_->read(s, static_cast<std::size_t>(n));
    return got == 0 ? -1 : static_cast<std::streamsize>(got);
  }

 private:
  RawInput* input_;
};

}  // namespace

// The stream buffer the parser reads. Its layers, from the bottom: the
// source's bytes; decompressed on the reading thread or by a thread ahead;
// the peeked head given again; transcoded into UTF-8.
struct InputStream::Impl : std::streambuf {
  const InputStream& owner;
  ReadHook hook;
  RawInput raw;
  Compression compression = Compression::kNone;
  io::filtering_istreambuf decompressor;
  std::istream stream{this};
  std::unique_ptr<char[]> buffer;
  bool opened = false;   // the magic has been read
  bool started = false;  // stream() has been read

  // The peeked head of the content, given again before the rest.
  std::string peeked;
  std::size_t peekedUsed = 0;
  bool peekedAll = false;  // the peek met the end of the content
  std::size_t skip = 0;    // content bytes to drop first

  // Transcoding: content bytes read and not yet transcoded, at most a few.
  std::optional<Transcoder> transcoder;
  std::unique_ptr<char[]> undecoded;
  std::size_t undecodedSize = 0;
  bool contentEnded = false;

  // Decompression ahead: a ring of chunks, filled by `ahead`, read in order.
  static constexpr std::size_t kAheadChunks = 4;
  struct Chunk {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
  };
  std::array<Chunk, kAheadChunks> chunks;
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t filled = 0;  // chunks filled and not yet given back, the one read included
  std::size_t written = 0;
  std::size_t taken = 0;
  bool holding = false;    // a chunk is being read
  std::size_t heldAt = 0;  // the next byte of it
  bool finished = false;
  std::exception_ptr failure;
  std::atomic<bool> stop{false};
  std::thread ahead;

  Impl(const InputStream& owner, std::unique_ptr<ByteSource> source) : owner(owner) {
    raw.source = std::move(source);
    stream.exceptions(std::ios::badbit);  // so that a read's failure leaves as it was thrown
  }

  ~Impl() override {
    if (!ahead.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex);
      stop = true;
    }
    changed.notify_all();
    ahead.join();
  }

  void runHook() {
    if (hook) hook(owner);
  }

  void open();
  void startDecompressor();
  void startAhead();
  std::size_t decompressInto(char* s, std::size_t n);
  [[noreturn]] void rethrowDescribed();
  void decompressAhead();
  std::size_t fillChunk(Chunk& chunk);
  bool takeChunk();
  std::size_t readAhead(char* s, std::size_t n);
  std::size_t readContent(char* s, std::size_t n);
  std::size_t readPeeked(char* s, std::size_t n);
  std::size_t readTranscoded(char* s, std::size_t n);

  // The content from where it stands: decompressed, not yet transcoded.
  std::size_t readDecompressed(char* s, std::size_t n) {
    open();
    if (ahead.joinable()) return readAhead(s, n);
    return compression == Compression::kNone ? raw.readFully(s, n) : decompressInto(s, n);
  }

  // What the parser reads next, up to n bytes; 0 only at the end.
  std::size_t refill(char* s, std::size_t n) {
    if (!started) {
      started = true;
      dropSkipped();
    }
    return transcoder ? readTranscoded(s, n) : readContent(s, n);
  }

  void dropSkipped() {
    char scratch[16];
    while (skip > 0) {
      const std::size_t got = readContent(scratch, std::min(skip, sizeof scratch));
      if (got == 0) return;
      skip -= got;
    }
  }

  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    runHook();
    if (!buffer) buffer = std::make_unique<char[]>(kChunk);
    setg(buffer.get(), buffer.get(), buffer.get() + refill(buffer.get(), kChunk));
    return gptr() < egptr() ? traits_type::to_int_type(*gptr()) : traits_type::eof();
  }

  // A read of a chunk or more goes straight into the reader's buffer.
  std::streamsize xsgetn(char* s, std::streamsize n) override {
    std::streamsize done = 0;
    while (done < n) {
      if (gptr() == egptr() && n - done >= static_cast<std::streamsize>(kChunk)) {
        runHook();
        const std::size_t got = refill(s + done, static_cast<std::size_t>(n - done));
        if (got == 0) break;
        done += static_cast<std::streamsize>(got);
        continue;
      }
      if (gptr() == egptr() && traits_type::eq_int_type(underflow(), traits_type::eof())) break;
      const std::streamsize part = std::min<std::streamsize>(n - done, egptr() - gptr());
      std::memcpy(s + done, gptr(), static_cast<std::size_t>(part));
      gbump(static_cast<int>(part));
      done += part;
    }
    return done;
  }
};

// Reads the magic at the first need, so that a FIFO with no data yet waits
// in a read that runs the hook. A stretch cut from a file has none to read.
void InputStream::Impl::open() {
  if (opened) return;
  opened = true;
  raw.source->setWaitHook([this] { runHook(); });
  if (raw.source->isCutFromFile()) return;
  char head[kMagicBytes];
  const std::size_t size = raw.readFully(head, kMagicBytes);
  compression = compressionOf(head, size);
  raw.head.assign(head, size);
  startDecompressor();
}

std::size_t InputStream::Impl::readPeeked(char* s, std::size_t n) {
  const std::size_t part = std::min(n, peeked.size() - peekedUsed);
  std::memcpy(s, peeked.data() + peekedUsed, part);
  peekedUsed += part;
  if (peekedUsed == peeked.size()) {
    peeked = std::string();
    peekedUsed = 0;
  }
  return part;
}

std::size_t InputStream::Impl::readContent(char* s, std::size_t n) {
  if (peekedUsed < peeked.size()) return readPeeked(s, n);
  return readDecompressed(s, n);
}

// Reads content behind the bytes a cut code unit left, so that each call
// hands the transcoder whole units but at the end.
std::size_t InputStream::Impl::readTranscoded(char* s, std::size_t n) {
  const std::size_t room = std::max<std::size_t>(n / Transcoder::kMaxGrowth, 16);
  if (!undecoded) undecoded = std::make_unique<char[]>(kChunk + Transcoder::kMaxPending);
  for (;;) {
    const std::size_t want = std::min(room, kChunk) - undecodedSize;
    const std::size_t got = contentEnded ? 0 : readContent(undecoded.get() + undecodedSize, want);
    contentEnded = contentEnded || got == 0;
    const std::size_t size = undecodedSize + got;
    if (size == 0) return 0;
    const Transcoder::Result done = transcoder->transcode(undecoded.get(), size, s, contentEnded);
    undecodedSize = size - done.read;
    std::memmove(undecoded.get(), undecoded.get() + done.read, undecodedSize);
    if (done.written > 0) return done.written;
  }
}

void InputStream::Impl::startDecompressor() {
  switch (compression) {
    case Compression::kGzip:
      decompressor.push(io::gzip_decompressor(io::gzip::default_window_bits, kChunk), kChunk);
      break;
    case Compression::kBzip2:
      decompressor.push(io::bzip2_decompressor(false, kChunk), kChunk);
      break;
    case Compression::kXz:
      decompressor.push(io::lzma_decompressor(io::lzma_params(), kChunk), kChunk);
      break;
    case Compression::kZstd:
      decompressor.push(io::symmetric_filter<ZstdDecoder>(kChunk), kChunk);
      break;
    case Compression::kNone:
      return;
  }
  decompressor.push(RawSource(&raw), kChunk);
}

void InputStream::Impl::startAhead() {
  open();
  if (compression == Compression::kNone || !raw.source->readableOffThread() || ahead.joinable()) {
    return;
  }
  for (Chunk& chunk : chunks) chunk.data = std::make_unique<char[]>(kChunk);
  // The thread has nobody to run the hook for; it only looks for its end.
  raw.source->setWaitHook([this] {
    if (stop) throw Stopped{};
  });
  ahead = std::thread([this] { decompressAhead(); });
}

std::size_t InputStream::Impl::decompressInto(char* s, std::size_t n) {
  try {
    std::size_t done = 0;
    for (std::streamsize got;
         done < n &&
         (got = decompressor.sgetn(s + done, static_cast<std::streamsize>(n - done))) > 0;) {
      done += static_cast<std::size_t>(got);
    }
    return done;
  } catch (...) {
    rethrowDescribed();
  }
}

// Boost reports only a code, under a class per format. Anything else, a
// failed read or std::bad_alloc, leaves as it came.
void InputStream::Impl::rethrowDescribed() {
  std::string reason;
  try {
    throw;
  } catch (const io::gzip_error& e) {
    reason = gzipReason(e);
  } catch (const io::bzip2_error& e) {
    reason = bzip2Reason(e);
  } catch (const io::lzma_error& e) {
    reason = xzReason(e);
  } catch (const DecodeFailure& e) {
    reason = e.what();
  }
  throw std::runtime_error("Cannot decompress input stream '" + raw.source->name() + "' (" +
                           compressionName(compression) + "): " + reason);
}

void InputStream::Impl::decompressAhead() {
  try {
    for (;;) {
      Chunk* chunk;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return stop || filled < kAheadChunks; });
        if (stop) return;
        chunk = &chunks[written % kAheadChunks];
      }
      const bool last = fillChunk(*chunk) < kChunk;
      std::lock_guard<std::mutex> lock(mutex);
      ++written;
      ++filled;
      finished = last;
      changed.notify_all();
      if (last) return;
    }
  } catch (const Stopped&) {
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex);
    failure = std::current_exception();
    finished = true;
    changed.notify_all();
  }
}

std::size_t InputStream::Impl::fillChunk(Chunk& chunk) {
  chunk.size = decompressInto(chunk.data.get(), kChunk);
  return chunk.size;
}

// Gives back the chunk read last and makes the next one current, running
// the hook while it waits; false at the end of the input.
bool InputStream::Impl::takeChunk() {
  std::unique_lock<std::mutex> lock(mutex);
  if (holding) {
    holding = false;
    ++taken;
    --filled;
    changed.notify_all();
  }
  const auto ready = [this] { return filled > 0 || finished; };
  while (!changed.wait_for(lock, std::chrono::milliseconds(kWaitSliceMs), ready)) {
    lock.unlock();
    runHook();
    lock.lock();
  }
  if (filled == 0) {
    if (failure) std::rethrow_exception(failure);
    return false;
  }
  holding = true;
  heldAt = 0;
  return true;
}

std::size_t InputStream::Impl::readAhead(char* s, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    if (!holding || heldAt == chunks[taken % kAheadChunks].size) {
      if (!takeChunk()) break;
      continue;
    }
    const Chunk& chunk = chunks[taken % kAheadChunks];
    const std::size_t part = std::min(n - done, chunk.size - heldAt);
    std::memcpy(s + done, chunk.data.get() + heldAt, part);
    heldAt += part;
    done += part;
  }
  return done;
}

InputStream::InputStream(std::unique_ptr<ByteSource> source)
    : impl_(std::make_unique<Impl>(*this, std::move(source))) {}

InputStream::InputStream(const std::string& path, ReadHook hook, bool decompressAside)
    : InputStream(openPath(path)) {
  setReadHook(std::move(hook));
  if (decompressAside) this->decompressAside();
}

InputStream::~InputStream() = default;

std::string_view InputStream::peek(std::size_t size) {
  Impl& in = *impl_;
  if (in.started) throw std::logic_error("peek() after the stream was read");
  // Grows a chunk at a time, so that a head asked for beyond the end costs
  // only what there is.
  while (in.peeked.size() < size && !in.peekedAll) {
    const std::size_t had = in.peeked.size();
    const std::size_t want = std::min(size - had, kChunk);
    in.peeked.resize(had + want);
    const std::size_t got = in.readDecompressed(in.peeked.data() + had, want);
    in.peeked.resize(had + got);
    in.peekedAll = got < want;
  }
  return std::string_view(in.peeked).substr(0, size);
}

void InputStream::decodeAs(Encoding encoding, std::size_t skip) {
  if (impl_->started) throw std::logic_error("decodeAs() after the stream was read");
  impl_->skip = skip;
  impl_->transcoder.reset();
  if (encoding != Encoding::kUtf8) impl_->transcoder.emplace(encoding);
}

void InputStream::setReadHook(ReadHook hook) { impl_->hook = std::move(hook); }

void InputStream::decompressAside() { impl_->startAhead(); }

std::istream& InputStream::stream() { return impl_->stream; }

Compression InputStream::compression() {
  impl_->open();
  return impl_->compression;
}

const ByteSource& InputStream::source() const { return *impl_->raw.source; }

std::uint64_t InputStream::bytesRead() const {
  return impl_->raw.bytesRead.load(std::memory_order_relaxed);
}

std::optional<std::uint64_t> InputStream::totalBytes() const { return impl_->raw.source->size(); }

std::uint64_t InputStream::undecodable() const {
  return impl_->transcoder ? impl_->transcoder->undecodable() : 0;
}

std::uint64_t InputStream::firstUndecodableAt() const {
  return impl_->transcoder ? impl_->transcoder->firstUndecodableAt() : 0;
}

}  // namespace quorvel
