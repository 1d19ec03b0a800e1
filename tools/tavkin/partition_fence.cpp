// Locks with flock(2): the kernel lets go when the holder dies, SIGKILL included.
#include "partition_fence.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
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

std::optional<std::string> read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return std::move(bytes).str();
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
  before_.insert_or_assign(device, read_whole(device_file_path(root_, device)));
}

std::size_t DeviceSnapshots::restore_all(std::string& errors) {
  std::size_t restored = 0;
  for (const auto& [device, bytes] : before_) {
    const std::string path = device_file_path(root_, device);
    std::string error;
    bool ok = true;
    if (bytes) {
      ok = write_back(path, *bytes, error);
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
