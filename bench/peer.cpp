#include "peer.h"

#include <zdict.h>

#include <cstdio>
#include <cstdlib>

#include "scenario.h"

namespace bench {
namespace {

void check(std::size_t code, const char* what) {
  if (ZSTD_isError(code)) {
    std::fprintf(stderr, "zstd %s: %s\n", what, ZSTD_getErrorName(code));
    std::abort();
  }
}

}  // namespace

Peer::Peer(const std::string& dictionary)
    : cctx_(ZSTD_createCCtx()),
      dctx_(ZSTD_createDCtx()),
      cdict_(ZSTD_createCDict(dictionary.data(), dictionary.size(), kPeerLevel)),
      ddict_(ZSTD_createDDict(dictionary.data(), dictionary.size())) {
  if (!cctx_ || !dctx_ || !cdict_ || !ddict_) std::abort();
  check(ZSTD_CCtx_refCDict(cctx_, cdict_), "refCDict");
  check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_compressionLevel, kPeerLevel), "level");
  check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_checksumFlag, 0), "checksum flag");
  check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_dictIDFlag, 0), "dictionary id flag");
  check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_contentSizeFlag, 0), "content size flag");
  check(ZSTD_DCtx_refDDict(dctx_, ddict_), "refDDict");
}

Peer::~Peer() {
  ZSTD_freeCCtx(cctx_);
  ZSTD_freeDCtx(dctx_);
  ZSTD_freeCDict(cdict_);
  ZSTD_freeDDict(ddict_);
}

std::size_t Peer::compress(std::string_view json, std::string& out) {
  out.resize(ZSTD_compressBound(json.size()));
  const std::size_t n = ZSTD_compress2(cctx_, out.data(), out.size(), json.data(), json.size());
  check(n, "compress");
  out.resize(n);
  return n;
}

std::size_t Peer::decompress(std::string_view frame, char* out, std::size_t capacity) {
  const std::size_t n = ZSTD_decompressDCtx(dctx_, out, capacity, frame.data(), frame.size());
  check(n, "decompress");
  return n;
}

const std::string& peer_dictionary() {
  static const std::string dictionary = [] {
    const std::vector<std::string>& sample = scenario().json_sample;
    std::string joined;
    std::vector<std::size_t> sizes;
    for (const std::string& s : sample) {
      joined += s;
      sizes.push_back(s.size());
    }
    std::string dict(kPeerDictionaryCapacity, '\0');
    const std::size_t n = ZDICT_trainFromBuffer(dict.data(), dict.size(), joined.data(), sizes.data(),
                                                static_cast<unsigned>(sizes.size()));
    if (ZDICT_isError(n)) {
      std::fprintf(stderr, "dictionary training: %s\n", ZDICT_getErrorName(n));
      std::abort();
    }
    dict.resize(n);
    return dict;
  }();
  return dictionary;
}

}  // namespace bench
