#include "fusion/applied_packets.h"

#include <sodium.h>

#include <algorithm>

namespace vm {
namespace {

// Fixed for all time: changing it makes every digest kept in a file miss.
constexpr unsigned char kDigestKey[crypto_shorthash_KEYBYTES] = {
    0x76, 0x6d, 0x2d, 0x61, 0x70, 0x70, 0x6c, 0x69, 0x65, 0x64, 0x2d, 0x6f, 0x6e, 0x63, 0x65, 0x31};

}  // namespace

std::uint64_t packet_digest(std::string_view packet) noexcept {
  unsigned char out[crypto_shorthash_BYTES];
  crypto_shorthash(out, reinterpret_cast<const unsigned char*>(packet.data()), packet.size(), kDigestKey);
  std::uint64_t digest = 0;
  for (int i = 7; i >= 0; --i) digest = (digest << 8) | out[i];
  return digest;
}

bool AppliedPackets::contains(std::uint64_t digest) const noexcept {
  return std::find(digests_.begin(), digests_.end(), digest) != digests_.end();
}

void AppliedPackets::add(std::uint64_t digest) {
  if (digests_.size() < kAppliedPacketWindow) {
    digests_.push_back(digest);
    return;
  }
  digests_[next_] = digest;
  next_ = (next_ + 1) % kAppliedPacketWindow;
}

void AppliedPackets::append_oldest_first(std::vector<std::uint64_t>& out) const {
  out.insert(out.end(), digests_.begin() + static_cast<std::ptrdiff_t>(next_), digests_.end());
  out.insert(out.end(), digests_.begin(), digests_.begin() + static_cast<std::ptrdiff_t>(next_));
}

void AppliedPackets::assign_oldest_first(std::span<const std::uint64_t> digests) {
  if (digests.size() > kAppliedPacketWindow) digests = digests.last(kAppliedPacketWindow);
  digests_.assign(digests.begin(), digests.end());
  next_ = 0;
}

}  // namespace vm
