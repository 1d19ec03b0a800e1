#include "support/keyed_hash.h"

#include <sodium.h>

#include "support/random_bytes.h"

namespace vm {
namespace {

struct SecretKey {
  unsigned char bytes[crypto_shorthash_KEYBYTES];
  SecretKey() noexcept { random_bytes(bytes, sizeof bytes); }
};

const unsigned char* secret() noexcept {
  static const SecretKey key;
  return key.bytes;
}

std::uint64_t siphash(const void* data, std::size_t size) noexcept {
  unsigned char out[crypto_shorthash_BYTES];
  crypto_shorthash(out, static_cast<const unsigned char*>(data), size, secret());
  std::uint64_t h = 0;
  for (int i = 7; i >= 0; --i) h = (h << 8) | out[i];
  return h;
}

}  // namespace

std::uint64_t keyed_hash_bytes(std::string_view text) noexcept { return siphash(text.data(), text.size()); }

const NumberHashKey& number_hash_key() noexcept {
  static const NumberHashKey key = [] {
    NumberHashKey k;
    random_bytes(&k, sizeof k);
    return k;
  }();
  return key;
}

}  // namespace vm
