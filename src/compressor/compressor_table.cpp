#include "compressor/compressor_table.h"

#include <atomic>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace vm {
namespace {

struct CompressorTable {
  std::atomic<std::uint64_t> next_handle{1};
  std::mutex mutex;
  std::unordered_map<std::uint64_t, std::shared_ptr<const FactCompressor>> compressors;
};

CompressorTable& table() {
  // Never destroyed: a host thread may still compress while the process exits.
  static CompressorTable* const instance = new CompressorTable;
  return *instance;
}

}  // namespace

std::optional<std::uint64_t> create_compressor(ByteSpan config) {
  auto parsed = read_compressor_config(config);
  if (!parsed) return std::nullopt;
  auto compressor = std::make_shared<const FactCompressor>(std::move(*parsed));

  CompressorTable& t = table();
  const std::uint64_t handle = t.next_handle.fetch_add(1, std::memory_order_relaxed);
  const std::lock_guard lock(t.mutex);
  t.compressors.emplace(handle, std::move(compressor));
  return handle;
}

bool free_compressor(std::uint64_t handle) {
  if (handle == 0) return false;
  CompressorTable& t = table();
  std::shared_ptr<const FactCompressor> removed;  // destroyed after the lock is released
  {
    const std::lock_guard lock(t.mutex);
    const auto it = t.compressors.find(handle);
    if (it == t.compressors.end()) return false;
    removed = std::move(it->second);
    t.compressors.erase(it);
  }
  return true;
}

std::shared_ptr<const FactCompressor> acquire_compressor(std::uint64_t handle) {
  if (handle == 0) return nullptr;
  CompressorTable& t = table();
  const std::lock_guard lock(t.mutex);
  const auto it = t.compressors.find(handle);
  return it == t.compressors.end() ? nullptr : it->second;
}

}  // namespace vm
