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

}  // namespace tavkin
