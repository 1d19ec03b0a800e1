// The temporary files of saves. A save writes the new text to a temporary file beside the
// device's file and renames it over that file. The temporary file's name cannot be guessed
// and it is created exclusively, so nothing planted under the root (a link, a FIFO) can
// redirect or block a save. A process killed between the two steps leaves its temporary
// file behind; later saves remove such files once no save can still own them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vm {

// A temporary file younger than this may belong to a save still running (a save holds its
// file for milliseconds); an older one belongs to none.
inline constexpr std::int64_t kStaleTemporarySeconds = 60;

// Sets `temporary` to `file_name` followed by ".tmp-" and 16 random hexadecimal digits.
void temporary_name_into(std::string_view file_name, std::string& temporary);

// Creates `name` in the open directory `directory` (or AT_FDCWD) for writing, exclusively (a
// name that exists, as a dangling link or a FIFO too, fails at once), without following
// links and closed on exec. A descriptor or -1.
[[nodiscard]] int create_temporary(int directory, const std::string& name) noexcept;

// Whether `name` is the name of a device file's temporary file: digits, ".json.tmp-",
// then anything.
[[nodiscard]] bool is_temporary_name(std::string_view name) noexcept;

// Removes the temporary files in the open directory `directory`, whose path is `path`, that
// are older than kStaleTemporarySeconds, at most once a minute per path in this process (a
// sweep reads the whole directory).
void sweep_stale_temporaries(int directory, const std::string& path);

}  // namespace vm
