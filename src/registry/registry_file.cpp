#include "registry/registry_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <filesystem>
#include <system_error>
#include <utility>

#include "registry/directory_sync.h"
#include "registry/failed_saves.h"
#include "registry/registry_text.h"
#include "registry/temporary_files.h"
#include "support/file_identity.h"
#include "support/scratch.h"

namespace vm {
namespace {

struct FileLocation {
  std::string directory;  // root/DD/DD
  std::string file_name;  // <aid>.json
  char levels[2][3] = {};  // "DD", "DD"
};

// Fills `where` (its strings keep their capacity, so a location kept per thread costs no
// allocation once warm).
void locate_into(std::string_view root, DeviceId aid, FileLocation& where) {
  char padded[10];
  std::uint32_t rest = raw(aid);
  for (int i = 9; i >= 0; --i, rest /= 10) padded[i] = static_cast<char>('0' + rest % 10);

  where.directory.clear();
  where.directory.append(root);
  if (!root.empty() && root.back() != '/') where.directory.push_back('/');
  where.directory.append(padded, 2).append("/").append(padded + 2, 2);
  for (int level = 0; level < 2; ++level) {
    where.levels[level][0] = padded[2 * level];
    where.levels[level][1] = padded[2 * level + 1];
  }

  char decimal[10];
  where.file_name.clear();
  where.file_name.append(decimal, std::to_chars(decimal, decimal + sizeof decimal, raw(aid)).ptr);
  where.file_name.append(".json");
}

FileLocation locate(std::string_view root, DeviceId aid) {
  FileLocation where;
  locate_into(root, aid, where);
  return where;
}

// A root with a NUL byte names no directory: the system would read the path only up to
// the NUL and write the file somewhere else entirely. Such a root switches files off.
bool enabled(std::optional<std::string_view> root) noexcept {
  return root && !root->empty() && root->find('\0') == std::string_view::npos;
}

// The whole content of the open file `fd`, which fstat described as `info`, when it is a
// regular file of at most kMaxRegistryFileSize bytes; else nullopt.
std::optional<std::string> read_regular_file(int fd, const struct stat& info) {
  if (!S_ISREG(info.st_mode) || static_cast<std::uint64_t>(info.st_size) > kMaxRegistryFileSize)
    return std::nullopt;
  std::optional<std::string> text(std::in_place);
  text->resize(static_cast<std::size_t>(info.st_size));
  std::size_t filled = 0;
  for (;;) {
    if (filled == text->size()) {
      // The file grew meanwhile: read on, but never past the limit.
      if (text->size() > kMaxRegistryFileSize) return std::nullopt;
      text->resize(text->size() + 4096);
    }
    const ssize_t n = ::read(fd, text->data() + filled, text->size() - filled);
    if (n > 0) {
      filled += static_cast<std::size_t>(n);
    } else if (n == 0) {
      text->resize(filled);
      return text;
    } else if (errno != EINTR) {
      return std::nullopt;
    }
  }
}

bool write_all(int fd, std::string_view text) noexcept {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Writes `text` to a new temporary file in the open directory `dir` (its name left in
// `temporary`) and renames it to `file_name`; with `durable`, the data reach the disk
// before the rename. On failure nothing of the attempt is left.
bool replace_file(int dir, const std::string& file_name, std::string_view text, std::string& temporary,
                  bool durable) {
  temporary_name_into(file_name, temporary);
  const int fd = create_temporary(dir, temporary);
  if (fd < 0) return false;
  const bool written = write_all(fd, text) && (!durable || ::fdatasync(fd) == 0);
  const bool closed = ::close(fd) == 0;
  if (written && closed && ::renameat(dir, temporary.c_str(), dir, file_name.c_str()) == 0) return true;
  ::unlinkat(dir, temporary.c_str(), 0);
  return false;
}

// Removes the file `file_name` from the open directory `dir`; whether it is gone. A
// directory at that name is not removed and counts as not gone: refusing it costs nothing,
// as loads ignore directories anyway.
bool remove_file(int dir, const std::string& file_name) noexcept {
  return ::unlinkat(dir, file_name.c_str(), 0) == 0 || errno == ENOENT;
}

// An open directory, closed when it goes.
class Directory {
 public:
  Directory() = default;
  explicit Directory(int fd) noexcept : fd_(fd) {}
  Directory(Directory&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Directory& operator=(Directory&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Directory() {
    if (fd_ >= 0) ::close(fd_);
  }
  [[nodiscard]] int fd() const noexcept { return fd_; }
  [[nodiscard]] bool open() const noexcept { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// The device's directory root/DD/DD, or none. The root is taken as given (links in it
// followed); the two levels below it must be real directories, never links, so nothing
// planted under the root leads a save or a load out of it. With `create`, missing
// directories are made, and `created` (when given) tells whether any was.
Directory open_device_directory(const std::string& root, const FileLocation& where, bool create,
                                bool* created = nullptr) {
  Directory dir(::open(root.c_str(), kDirectoryFlags));
  if (!dir.open() && create && errno == ENOENT) {
    std::error_code ignored;
    std::filesystem::create_directories(root, ignored);
    dir = Directory(::open(root.c_str(), kDirectoryFlags));
    if (created != nullptr) *created = true;
  }
  for (const char* level : where.levels) {
    if (!dir.open()) break;
    int fd = ::openat(dir.fd(), level, kDirectoryFlags | O_NOFOLLOW);
    if (fd < 0 && create && errno == ENOENT && (::mkdirat(dir.fd(), level, 0777) == 0 || errno == EEXIST)) {
      fd = ::openat(dir.fd(), level, kDirectoryFlags | O_NOFOLLOW);
      if (created != nullptr) *created = true;
    }
    dir = Directory(fd);
  }
  return dir;
}

// The directories a durable save must sync: the device's own, and when the save made
// directories, those that received their names (the root's parent is the caller's).
void note_directories(const std::string& root, const FileLocation& where, bool created, DirectorySyncs& durable) {
  durable.add(where.directory);
  if (!created) return;
  durable.add(root);
  durable.add(std::string_view(where.directory).substr(0, where.directory.size() - 3));  // root/DD
}

}  // namespace

bool registry_files_enabled(std::optional<std::string_view> registry_root) noexcept { return enabled(registry_root); }

std::string registry_file_path(std::string_view registry_root, DeviceId aid) {
  FileLocation where = locate(registry_root, aid);
  return where.directory.append("/").append(where.file_name);
}

void load_device_file(TemplateRegistry& registry, DeviceId aid,
                      std::optional<std::string_view> registry_root) {
  if (!enabled(registry_root) || find_device(registry, aid) != nullptr) return;
  thread_local FileLocation where;
  thread_local std::string root;
  locate_into(*registry_root, aid, where);
  if (is_distrusted(where.directory, where.file_name)) return;
  root.assign(*registry_root);
  const Directory dir = open_device_directory(root, where, false);
  if (!dir.open()) return;
  // A link planted at the file's name is not followed; O_NONBLOCK keeps a FIFO planted
  // there from blocking the call (it has no effect on regular files).
  const int fd = ::openat(dir.fd(), where.file_name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    ::close(fd);
    return;
  }
  // A file that yielded nothing is not read again until it changes: a damaged file would
  // otherwise be parsed anew on every request for its device.
  const FileIdentity identity = identity_of(info);
  if (const auto known = registry.unusable_files.find(aid);
      known != registry.unusable_files.end() && known->second == identity) {
    ::close(fd);
    return;
  }
  const std::optional<std::string> text = read_regular_file(fd, info);
  ::close(fd);
  std::optional<DeviceTemplates> device;
  if (text) device = parse_registry_text(*text);
  if (!device) {
    registry.unusable_files.insert_or_assign(aid, identity);
    return;
  }
  registry.unusable_files.erase(aid);
  // The file may be ahead of every receiver (a sender dies between saving and handing the
  // packet out): each template's first packet after a load travels whole.
  mark_loaded(*device);
  registry.devices.emplace(aid, std::move(*device));
}

bool save_device_file(const TemplateRegistry& registry, DeviceId aid,
                      std::optional<std::string_view> registry_root, DirectorySyncs* durable) {
  if (!enabled(registry_root)) return false;
  const DeviceTemplates* device = find_device(registry, aid);
  if (device == nullptr) return false;

  // Per-thread buffers: a batch saves each touched device, and a steady stream of saves
  // then allocates nothing.
  thread_local std::string text, temporary, root;
  thread_local FileLocation where;
  const ScratchRelease release(text);
  text.clear();
  append_registry_text(text, aid, *device);

  locate_into(*registry_root, aid, where);
  root.assign(*registry_root);
  bool created = false;
  const Directory dir = open_device_directory(root, where, true, &created);
  if (!dir.open()) {
    // Without its directory the old file cannot be removed either.
    note_failed_save(where.directory, where.file_name, false);
    return false;
  }
  const bool saved = replace_file(dir.fd(), where.file_name, text, temporary, durable != nullptr);
  if (saved) {
    note_saved(where.directory, where.file_name);
    if (durable != nullptr) note_directories(root, where, created, *durable);
  } else {
    // Remove the outdated file: a missing file costs a full packet, a stale one wrong facts.
    note_failed_save(where.directory, where.file_name, remove_file(dir.fd(), where.file_name));
  }
  sweep_stale_temporaries(dir.fd(), where.directory);
  return saved;
}

}  // namespace vm
