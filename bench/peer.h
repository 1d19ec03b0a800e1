// The general-purpose peer: each fact as compact JSON, compressed one message at a time
// with zstd at level 3 and a dictionary trained on a separate sample of the same fleet.
// Frames carry no checksum, dictionary id or content size (the smallest standard frame).
// One Peer per thread: it owns its compression and decompression contexts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <zstd.h>

namespace bench {

inline constexpr int kPeerLevel = 3;
inline constexpr std::size_t kPeerDictionaryCapacity = 64 * 1024;

class Peer {
 public:
  explicit Peer(const std::string& dictionary);
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Compresses `json` into `out` (resized to the frame); returns the frame size.
  std::size_t compress(std::string_view json, std::string& out);
  // Decompresses a frame into `out`, which must have room for the text; returns its size.
  std::size_t decompress(std::string_view frame, char* out, std::size_t capacity);

 private:
  ZSTD_CCtx* cctx_;
  ZSTD_DCtx* dctx_;
  ZSTD_CDict* cdict_;
  ZSTD_DDict* ddict_;
};

// The dictionary trained on `sample` (built once per process for the scenario's sample).
const std::string& peer_dictionary();

}  // namespace bench
