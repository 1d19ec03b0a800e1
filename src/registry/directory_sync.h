// Durable saves: a renamed file survives a power loss only once the directory that holds
// its new name reaches the disk. Saves of many files note each directory they changed, and
// the directories are synced once each after all renames. Used by one thread at a time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vm {

class DirectorySyncs {
 public:
  // Notes the directory at `path` (a path as the root names it).
  void add(std::string_view path);
  // Syncs each distinct directory noted, then forgets them; false when any could not be
  // opened or synced.
  [[nodiscard]] bool sync_all();

 private:
  std::vector<std::string> paths_;
};

}  // namespace vm
