// Locks with flock(2): the kernel lets go when the holder dies, SIGKILL included.
#include "partition_fence.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include <fmt/format.h>

#include "registry_file.h"

namespace tavkin {

PartitionLock::PartitionLock(PartitionLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

PartitionLock& PartitionLock::operator=(PartitionLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

PartitionLock::~PartitionLock() { release(); }

void PartitionLock::release() {
  if (fd_ >= 0) ::close(fd_);  // closing the only descriptor drops the lock
  fd_ = -1;
}

bool PartitionLock::try_acquire(const std::string& root, const std::string& name, std::string& error) {
  if (held()) return true;
  const std::filesystem::path dir = std::filesystem::path(root) / ".partition-locks";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  const std::string path = (dir / (name + ".lock")).string();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = fmt::format("cannot open {}: {}", path, std::strerror(errno));
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) error = fmt::format("cannot lock {}: {}", path, std::strerror(errno));
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

namespace {

// Plain reads: this runs before every decode, where a stream's set-up would cost more
// than reading the file. `bytes` is nullopt when there is no file; false when there is
// one that cannot be read whole.
bool read_whole(const std::string& path, std::optional<std::string>& bytes) {
  bytes.reset();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  std::string read;
  char chunk[8192];
  ssize_t n = 0;
  while ((n = ::read(fd, chunk, sizeof chunk)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    read.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (n != 0) return false;
  bytes = std::move(read);
  return true;
}

// Temporary file beside the target, flushed to disk, renamed over it.
bool write_back(const std::string& path, const std::string& bytes, std::string& error) {
  const std::string temporary = fmt::format("{}.restore-{}", path, ::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = fmt::format("{}: {}", temporary, std::strerror(errno));
    return false;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const bool written = done == bytes.size() && ::fsync(fd) == 0;
  const int saved_errno = errno;
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    error = fmt::format("{}: {}", path, std::strerror(written ? errno : saved_errno));
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

void DeviceSnapshots::take(std::uint32_t device) {
  Before before;
  before.read = read_whole(device_file_path(root_, device), before.bytes);
  before_.insert_or_assign(device, std::move(before));
}

std::size_t DeviceSnapshots::restore_all(std::string& errors) {
  std::size_t restored = 0;
  for (const auto& [device, before] : before_) {
    const std::string path = device_file_path(root_, device);
    std::string error;
    bool ok = true;
    if (!before.read) {
      ok = false;
      error = fmt::format("{}: could not be read before the decode, left as it is", path);
    } else if (before.bytes) {
      ok = write_back(path, *before.bytes, error);
    } else if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      ok = false;
      error = fmt::format("{}: {}", path, std::strerror(errno));
    }
    if (ok) {
      ++restored;
    } else {
      errors += errors.empty() ? error : "; " + error;
    }
  }
  before_.clear();
  return restored;
}

}  // namespace tavkin
