#include "registry/temporary_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <mutex>

#include "support/keyed_hash.h"
#include "support/random_bytes.h"

namespace vm {
namespace {

std::int64_t now_seconds(std::chrono::system_clock::time_point t) noexcept {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

// Whether `directory` is due for a sweep, noting the sweep when it is. Process-wide, so
// contexts sharing a root do not each read the directory.
bool sweep_due(const std::string& directory, std::int64_t now) {
  static std::mutex lock;
  static KeyedMap<std::string, std::int64_t> last_sweep;
  constexpr std::size_t kRemembered = 1 << 16;  // past this, forget: a sweep too many is harmless
  std::lock_guard guard(lock);
  if (last_sweep.size() >= kRemembered) last_sweep.clear();
  auto [it, added] = last_sweep.try_emplace(directory, now);
  if (!added && now >= it->second && now - it->second < kStaleTemporarySeconds) return false;
  it->second = now;
  return true;
}

}  // namespace

void temporary_name_into(std::string_view file_name, std::string& temporary) {
  unsigned char random[8];
  random_bytes(random, sizeof random);
  static constexpr char kHex[] = "0123456789abcdef";
  temporary.assign(file_name).append(".tmp-");
  for (unsigned char b : random) {
    temporary.push_back(kHex[b >> 4]);
    temporary.push_back(kHex[b & 15]);
  }
}

int create_temporary(int directory, const std::string& name) noexcept {
  return ::openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

bool is_temporary_name(std::string_view name) noexcept {
  constexpr std::string_view kMark = ".json.tmp-";
  std::size_t digits = 0;
  while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9') ++digits;
  return digits > 0 && name.substr(digits, kMark.size()) == kMark;
}

void sweep_stale_temporaries(int directory, const std::string& path) {
  const std::int64_t now = now_seconds(std::chrono::system_clock::now());
  if (!sweep_due(path, now)) return;
  const int fd = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // readdir takes it over
  if (fd < 0) return;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return;
  }
  const int dir_fd = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    if (!is_temporary_name(entry->d_name)) continue;
    struct stat info {};
    if (::fstatat(dir_fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(info.st_mode)) continue;
    if (now - static_cast<std::int64_t>(info.st_mtim.tv_sec) > kStaleTemporarySeconds)
      ::unlinkat(dir_fd, entry->d_name, 0);
  }
  ::closedir(dir);
}

}  // namespace vm
