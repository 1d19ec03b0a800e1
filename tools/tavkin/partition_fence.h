// What keeps two gateways from writing one device's registry file across a hand-over.
//
// The broker hands a partition to the next gateway when it considers the active one
// gone, which can be an instant before that gateway reads the break in its input. In
// that instant it may still decode a packet and save the device's file, after the next
// gateway has moved the device on, or just after acknowledging the device's previous
// packet when that acknowledgement never reached the broker. Either leaves a file that
// is one packet ahead of what the broker delivers next, and decoding on it gives a wrong
// fact. Two rules close both:
//
//  - a gateway decodes a partition's packets only while it holds the partition's lock
//    (an flock on a file under the registry root, let go when its session ends or the
//    process dies), so the next gateway starts only after the last one stopped writing;
//  - before it lets go, a gateway puts back, as they were before the decode, the files of
//    the devices whose decoded packet it has not acknowledged. The broker delivers that
//    packet again, or the one before it when its acknowledgement was lost, and both
//    decode right on the file as it was.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

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

// The registry files of devices with a decoded packet not yet acknowledged, as they were
// before that decode.
class DeviceSnapshots {
 public:
  explicit DeviceSnapshots(std::string root) : root_(std::move(root)) {}

  // Records the device's file as it is now (or that it has none); call before decoding.
  void take(std::uint32_t device);
  // The device's packet is acknowledged: its file stands.
  void forget(std::uint32_t device) { before_.erase(device); }
  // Puts every recorded file back (removing those that did not exist) and forgets them.
  // Answers how many were put back; `errors` lists the ones that could not be.
  std::size_t restore_all(std::string& errors);
  [[nodiscard]] std::size_t size() const { return before_.size(); }

 private:
  struct Before {
    bool read = false;                 // false: the file existed but could not be read
    std::optional<std::string> bytes;  // nullopt: the device had no file
  };
  std::string root_;
  std::unordered_map<std::uint32_t, Before> before_;
};

}  // namespace tavkin
