// What this process remembers of registry saves that failed: how many there were, and
// which device files they may have left behind older than the templates in memory. Such a
// file is never loaded again by this process, so a context dropped and rebuilt later
// cannot decode packets against old values. Process-wide: contexts that share a root
// share what one of them could not save. Only this process knows: one started later loads
// such a file, as nothing on a read-only file system can mark or remove it.
#pragma once

#include <cstdint>
#include <string_view>

namespace vm {

// Counts a failed save of the file `file_name` in `directory`. With `old_file_gone` false
// the file may still be there (it could not be removed) and loads refuse it from now on;
// with it true the file is known to be absent, and nothing is refused any more.
void note_failed_save(std::string_view directory, std::string_view file_name, bool old_file_gone);

// Notes that the file now holds the device's current templates: loads trust it again.
void note_saved(std::string_view directory, std::string_view file_name);

// Whether a failed save may have left the file behind its device's templates.
[[nodiscard]] bool is_distrusted(std::string_view directory, std::string_view file_name);

// The saves that failed in this process since it started.
[[nodiscard]] std::uint64_t failed_save_count() noexcept;

}  // namespace vm
