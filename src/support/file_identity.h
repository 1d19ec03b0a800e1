// What tells one version of a file from another without reading it: the file system and
// inode it lives in, its size and its modification and change times. A file rewritten or
// replaced gets a new identity.
#pragma once

#include <sys/stat.h>

#include <cstdint>

namespace vm {

struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modified_ns = 0;
  std::int64_t changed_ns = 0;

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

inline FileIdentity identity_of(const struct stat& info) noexcept {
  constexpr std::int64_t kNs = 1'000'000'000;
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
          static_cast<std::int64_t>(info.st_size),
          static_cast<std::int64_t>(info.st_mtim.tv_sec) * kNs + info.st_mtim.tv_nsec,
          static_cast<std::int64_t>(info.st_ctim.tv_sec) * kNs + info.st_ctim.tv_nsec};
}

}  // namespace vm
