#include "registry/failed_saves.h"

#include <atomic>
#include <mutex>
#include <string>

#include "support/keyed_hash.h"

namespace vm {
namespace {

std::atomic<std::uint64_t> g_failed_saves{0};

// One path per device whose file could not be removed, until a save of it succeeds. Files
// are told apart by the path as the root names them: a process that names one directory
// by two roots ("reg" and "./reg") is not protected across them.
struct Distrusted {
  std::mutex lock;
  KeyedSet<std::string> paths;        // device ids come from packets: the hash is keyed
  std::atomic<std::size_t> count{0};  // paths.size(), read without the lock
};

Distrusted& distrusted() {
  static Distrusted d;
  return d;
}

// The key of a file; per thread, so a steady stream of checks allocates nothing.
const std::string& path_of(std::string_view directory, std::string_view file_name) {
  thread_local std::string path;
  path.assign(directory).append("/").append(file_name);
  return path;
}

void forget(std::string_view directory, std::string_view file_name) {
  Distrusted& d = distrusted();
  // Saves go through here on every change: skip the lock while nothing is distrusted.
  if (d.count.load(std::memory_order_acquire) == 0) return;
  std::lock_guard guard(d.lock);
  d.paths.erase(path_of(directory, file_name));
  d.count.store(d.paths.size(), std::memory_order_release);
}

}  // namespace

void note_failed_save(std::string_view directory, std::string_view file_name, bool old_file_gone) {
  g_failed_saves.fetch_add(1, std::memory_order_relaxed);
  if (old_file_gone) {
    forget(directory, file_name);
    return;
  }
  // Distrusted by path until this process writes the file again, whoever changes it
  // meanwhile: the conservative choice, as refusing a good file costs one full packet
  // while trusting a stale one gives wrong facts.
  Distrusted& d = distrusted();
  std::lock_guard guard(d.lock);
  d.paths.emplace(path_of(directory, file_name));
  d.count.store(d.paths.size(), std::memory_order_release);
}

void note_saved(std::string_view directory, std::string_view file_name) { forget(directory, file_name); }

bool is_distrusted(std::string_view directory, std::string_view file_name) {
  Distrusted& d = distrusted();
  if (d.count.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard guard(d.lock);
  return d.paths.contains(path_of(directory, file_name));
}

std::uint64_t failed_save_count() noexcept { return g_failed_saves.load(std::memory_order_relaxed); }

}  // namespace vm
