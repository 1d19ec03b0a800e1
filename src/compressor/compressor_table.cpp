#include "compressor/compressor_table.h"

#include <utility>

#include "support/handle_table.h"

namespace vm {
namespace {

HandleTable<const FactCompressor>& table() {
  // Never destroyed: a host thread may still compress while the process exits.
  static HandleTable<const FactCompressor>* const instance = new HandleTable<const FactCompressor>(1);
  return *instance;
}

}  // namespace

std::optional<std::uint64_t> create_compressor(ByteSpan config) {
  auto parsed = read_compressor_config(config);
  if (!parsed) return std::nullopt;
  return table().insert(std::make_shared<const FactCompressor>(std::move(*parsed)));
}

bool free_compressor(std::uint64_t handle) { return table().erase(handle); }

std::shared_ptr<const FactCompressor> acquire_compressor(std::uint64_t handle) { return table().find(handle); }

}  // namespace vm
