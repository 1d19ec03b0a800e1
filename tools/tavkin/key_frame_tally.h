// Counts the key frames among a sender's packets for its summary. The library forces them
// (library.h, KeyFrames) and does not say which full packets it forced; a full packet that
// the sender did not ask for, of a signature its device already sent in this run, is one.
// (A signature that lost its template number and came back counts too; the demo's fleets
// never bring one back.) One thread.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace tavkin {

class KeyFrameTally {
 public:
  // One packet of device `aid` for the compact text `text`; `asked_full`: the sender asked
  // for a full packet.
  void add(std::uint32_t aid, std::string_view text, std::string_view packet, bool asked_full);

  [[nodiscard]] std::uint64_t count() const { return count_; }

 private:
  std::set<std::pair<std::uint32_t, std::string>> seen_;  // (device, signature)
  std::uint64_t count_ = 0;
};

}  // namespace tavkin
