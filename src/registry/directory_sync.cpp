#include "registry/directory_sync.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace vm {

void DirectorySyncs::add(std::string_view path) {
  // Saves of one call mostly touch a directory several times in a row.
  if (!paths_.empty() && paths_.back() == path) return;
  paths_.emplace_back(path);
}

bool DirectorySyncs::sync_all() {
  std::sort(paths_.begin(), paths_.end());
  paths_.erase(std::unique(paths_.begin(), paths_.end()), paths_.end());
  bool all = true;
  for (const std::string& path : paths_) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      all = false;
      continue;
    }
    if (::fsync(fd) != 0) all = false;
    ::close(fd);
  }
  paths_.clear();
  return all;
}

}  // namespace vm
