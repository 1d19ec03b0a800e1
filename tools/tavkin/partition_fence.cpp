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
// than reading the file. A file that cannot be read whole is not kept at all.
std::optional<std::string> read_whole(const std::string& path, bool& exists) {
  exists = true;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    exists = errno != ENOENT;
    return std::nullopt;
  }
  std::string bytes;
  char chunk[8192];
  bool whole = false;
  while (true) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      whole = n == 0;
      break;
    }
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!whole) return std::nullopt;
  return bytes;
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
  const std::string path = device_file_path(root_, device);
  bool exists = false;
  std::optional<std::string> bytes = read_whole(path, exists);
  if (exists && !bytes) {
    before_.insert_or_assign(device, Before{false, {}});
    return;
  }
  before_.insert_or_assign(device, Before{true, std::move(bytes)});
}

std::size_t DeviceSnapshots::restore_all(std::string& errors) {
  std::size_t restored = 0;
  for (const auto& [device, before] : before_) {
    const std::string path = device_file_path(root_, device);
    const std::optional<std::string>& bytes = before.bytes;
    std::string error;
    bool ok = true;
    if (!before.read) {
      ok = false;
      error = fmt::format("{}: could not be read before the decode, left as it is", path);
    } else if (bytes) {
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
