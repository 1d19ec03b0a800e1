#include "compressor/compressor_table.h"

#include <utility>

namespace vm {
namespace {

using CompressorTable = HandleTable<const FactCompressor, CompressorHandle>;

CompressorTable& table() {
  // Never destroyed: a host thread may still compress while the process exits.
  static CompressorTable* const instance = new CompressorTable(CompressorHandle{1});
  return *instance;
}

}  // namespace

std::optional<CompressorHandle> create_compressor(ByteSpan config) {
  auto parsed = read_compressor_config(config);
  if (!parsed) return std::nullopt;
  return table().insert(std::make_shared<const FactCompressor>(std::move(*parsed)));
}

bool free_compressor(CompressorHandle handle) { return table().erase(handle); }

std::shared_ptr<const FactCompressor> acquire_compressor(CompressorHandle handle) { return table().find(handle); }

}  // namespace vm
