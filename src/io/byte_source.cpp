// The sources that read a file descriptor: a path, a descriptor handed in, a
// byte range of a regular file.
#include "io/byte_source.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace quorvel {

namespace {

// A descriptor read from where it stands, or from `start` up to `limit` bytes.
class DescriptorSource final : public ByteSource {
 public:
  DescriptorSource(int fd, std::string name) : fd_(fd), name_(std::move(name)) {
    struct stat status {};
    if (::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode)) {
      regular_ = true;
      device_ = status.st_dev;
      inode_ = status.st_ino;
      const off_t at = ::lseek(fd_, 0, SEEK_CUR);
      const auto size = static_cast<std::uint64_t>(status.st_size);
      const std::uint64_t from = at > 0 ? static_cast<std::uint64_t>(at) : 0;
      expected_ = size > from ? size - from : 0;
    }
  }
  ~DescriptorSource() override { ::close(fd_); }
  DescriptorSource(const DescriptorSource&) = delete;
  DescriptorSource& operator=(const DescriptorSource&) = delete;

  // Reads only bytes [start, end) of a regular file.
  void limitTo(std::uint64_t start, std::uint64_t end) {
    if (!regular_) throw std::runtime_error("a byte range needs a regular file: '" + name_ + "'");
    if (::lseek(fd_, static_cast<off_t>(start), SEEK_SET) < 0) throw failure(errno);
    const std::uint64_t fileSize = expected_.value_or(0);
    const std::uint64_t stop = std::min(end, fileSize);
    expected_ = stop > start ? stop - start : 0;
    limit_ = expected_;
  }

  std::size_t read(char* s, std::size_t n) override {
    if (limit_) n = static_cast<std::size_t>(std::min<std::uint64_t>(n, *limit_ - offset_));
    if (n == 0) return 0;
    for (;;) {
      if (!regular_) awaitData();
      const ssize_t got = ::read(fd_, s, n);
      if (got > 0) {
        offset_ += static_cast<std::uint64_t>(got);
        return static_cast<std::size_t>(got);
      }
      if (got == 0) {
        checkWhole();
        return 0;
      }
      if (errno != EINTR) throw failure(errno);
    }
  }

  std::optional<std::uint64_t> size() const override { return expected_; }
  bool readableOffThread() const override { return true; }
  const std::string& name() const override { return name_; }
  void setWaitHook(WaitHook hook) override { whileWaiting_ = std::move(hook); }

  bool isCutFromFile() const override { return limit_.has_value(); }

  bool isFile(const std::string& path) const override {
    struct stat status {};
    return regular_ && ::stat(path.c_str(), &status) == 0 && status.st_dev == device_ &&
           status.st_ino == inode_;
  }

 private:
  std::runtime_error failure(int reason) const {
    return std::runtime_error("Cannot read input stream '" + name_ + "' at byte " +
                              std::to_string(offset_) + ": " + std::strerror(reason));
  }

  // A regular file that ends before the size it had when opened has shrunk
  // under the pass: what was read is not the whole file.
  void checkWhole() const {
    if (!regular_ || !expected_ || offset_ >= *expected_) return;
    throw std::runtime_error("Cannot read input stream '" + name_ + "' at byte " +
                             std::to_string(offset_) + ": it ended before its " +
                             std::to_string(*expected_) + " bytes (the file shrank while read)");
  }

  // Waits in slices, so that a reader blocked on a quiet FIFO still runs its
  // hook, and with it a check for interrupts, every slice.
  void awaitData() {
    pollfd wanted{fd_, POLLIN, 0};
    for (;;) {
      const int ready = ::poll(&wanted, 1, kWaitSliceMs);
      if (ready > 0) return;
      if (ready < 0 && errno != EINTR) throw failure(errno);
      if (whileWaiting_) whileWaiting_();
    }
  }

  int fd_;
  std::string name_;
  bool regular_ = false;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::optional<std::uint64_t> expected_;  // bytes to come, for a regular file
  std::optional<std::uint64_t> limit_;     // a range's length
  std::uint64_t offset_ = 0;
  WaitHook whileWaiting_;
};

std::unique_ptr<DescriptorSource> openDescriptorSource(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("Something is wrong with input stream");
  return std::make_unique<DescriptorSource>(fd, path);
}

}  // namespace

std::unique_ptr<ByteSource> openPath(const std::string& path) { return openDescriptorSource(path); }

std::unique_ptr<ByteSource> openDescriptor(int fd) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    throw std::runtime_error("Cannot read file descriptor " + std::to_string(fd) + ": " +
                             std::strerror(errno));
  }
  return std::make_unique<DescriptorSource>(copy, "<file descriptor " + std::to_string(fd) + ">");
}

std::unique_ptr<ByteSource> openRange(const std::string& path, std::uint64_t start,
                                      std::uint64_t end) {
  if (start > end) {
    throw std::invalid_argument("a byte range must not start (" + std::to_string(start) +
                                ") after its end (" + std::to_string(end) + ")");
  }
  auto source = openDescriptorSource(path);
  source->limitTo(start, end);
  return source;
}

}  // namespace quorvel
