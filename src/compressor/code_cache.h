// Remembered codes of a thread's compressions: a fleet reports the same few states and
// units fact after fact, and their codes depend only on the texts and the compressor (its
// two maps and its scale). Each thread keeps the codes it made last and makes them anew
// only on a miss. One cache per thread (see t_codes); not shared.
#pragma once

#include <string>
#include <string_view>

#include "compressor/fact_compressor.h"
#include "compressor/text_out.h"

namespace vm {

// The mapped form of a name: its code when the map has one, else the name itself.
void write_mapped(TextOut& out, const CodeMap& map, std::string_view name);

// Two codes per set of a small table indexed by a hash of the texts: the state code of a
// fact's header, or "state code.unit code" of a reading.
class CodeCache {
 public:
  void write_state(TextOut& out, const FactCompressor& c, std::string_view state) {
    write(out, c, state, {}, false);
  }
  void write_state_and_unit(TextOut& out, const FactCompressor& c, std::string_view state, std::string_view unit) {
    write(out, c, state, unit, true);
  }

 private:
  static constexpr std::size_t kSets = 32;
  static constexpr std::size_t kLongestText = 48;

  struct Entry {
    bool used = false;
    bool with_unit = false;
    std::uint64_t state_map = 0, unit_map = 0, scale = 0;
    std::string state, unit, code;
  };

  void write(TextOut& out, const FactCompressor& c, std::string_view state, std::string_view unit, bool with_unit);

  Entry sets_[kSets][2];
};

// This thread's cache.
extern thread_local CodeCache t_codes;

}  // namespace vm
