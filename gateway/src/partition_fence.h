// What keeps two gateways from writing one device's registry file across a hand-over.
//
// The broker hands a partition to the next gateway when it considers the active one
// gone, which can be an instant before that gateway reads the break in its input (or
// while it is paused). A gateway decodes a partition's packets only while it holds the
// partition's lock: an flock on a file under the registry root, let go when its session
// ends or the process dies, so the next gateway starts only after the last one stopped
// writing. Files are written only at checkpoints, after every fact they cover is
// confirmed; a gateway that loses its session drops what it decoded since, and the
// packets it recorded as applied in the files answer "already applied" when they come again.
#pragma once

#include <cstdint>
#include <string>

namespace tavkin {

// An exclusive lock on one partition, held from try_acquire until destruction or release.
class PartitionLock {
 public:
  PartitionLock() = default;
  PartitionLock(const PartitionLock&) = delete;
  PartitionLock& operator=(const PartitionLock&) = delete;
  PartitionLock(PartitionLock&& other) noexcept;
  PartitionLock& operator=(PartitionLock&& other) noexcept;
  ~PartitionLock();

  // Takes root/.partition-locks/<name>.lock without waiting; false while another holder
  // has it. `error` is set when the lock file cannot be opened at all.
  bool try_acquire(const std::string& root, const std::string& name, std::string& error);
  [[nodiscard]] bool held() const { return fd_ >= 0; }
  void release();

 private:
  int fd_ = -1;
};

}  // namespace tavkin
