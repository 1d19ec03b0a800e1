// C exports of the typed receive and of contexts: packets as bytes with an outcome per
// packet to a callback, the deferred save of a context, and its drop.
#include <climits>
#include <optional>
#include <string_view>

#include "support/bytes.h"
#include "contexts/context_cache.h"
#include "contexts/context_save.h"
#include "fusion/applied_packets.h"
#include "requests/receive_packets.h"
#include "velmarinthos_tavkin.h"

namespace {

using vm::ReceiveOutcome;

static_assert(static_cast<int>(ReceiveOutcome::received) == VM_RECEIVED);
static_assert(static_cast<int>(ReceiveOutcome::unknown_template) == VM_RECEIVE_UNKNOWN_TEMPLATE);
static_assert(static_cast<int>(ReceiveOutcome::not_applicable) == VM_RECEIVE_NOT_APPLICABLE);
static_assert(static_cast<int>(ReceiveOutcome::crc_mismatch) == VM_RECEIVE_CRC_MISMATCH);
static_assert(static_cast<int>(ReceiveOutcome::malformed) == VM_RECEIVE_MALFORMED);
static_assert(static_cast<int>(ReceiveOutcome::state_mismatch) == VM_RECEIVE_STATE_MISMATCH);
static_assert(static_cast<int>(ReceiveOutcome::already_applied) == VM_RECEIVE_ALREADY_APPLIED);
static_assert(vm::kAppliedPacketWindow == VM_RECEIVE_ONCE_WINDOW);

vm::ReceiveOptions options_of(uint32_t flags) noexcept {
  // A precision field of 0 (or above 19) leaves the readings at ten-thousandths.
  const auto precision_field = static_cast<int>((flags & VM_RECEIVE_PRECISION_MASK) >> VM_RECEIVE_PRECISION_SHIFT);
  return {.state_check = (flags & VM_RECEIVE_STATE_CHECK) != 0,
          .precision = precision_field >= 1 && precision_field <= 19 ? precision_field - 1 : -1,
          .defer_save = (flags & VM_RECEIVE_DEFER_SAVE) != 0,
          .once = (flags & VM_RECEIVE_ONCE) != 0};
}

// A root given as (pointer, length): none for length 0; nullopt in `valid` for a NULL
// pointer with a length.
bool read_root(const uint8_t* root, size_t root_len, std::optional<std::string_view>& out) noexcept {
  if (root_len == 0) {
    out.reset();
    return true;
  }
  if (root == nullptr) return false;
  out = vm::as_text({root, root_len});
  return true;
}

class CallbackSink final : public vm::ReceivedPacketSink {
 public:
  CallbackSink(vm_receive_callback_v1 callback, void* user) : callback_(callback), user_(user) {}
  void received(const vm::ReceivedPacket& packet) override {
    vm_received_v1 r{};
    r.outcome = static_cast<int32_t>(packet.outcome);
    r.command = packet.command;
    r.tid = packet.tid;
    r.source_aid = packet.source_aid;
    r.timestamp = packet.timestamp;
    if (packet.outcome == ReceiveOutcome::received) {
      r.fact = reinterpret_cast<const uint8_t*>(packet.fact.data());
      r.fact_len = packet.fact.size();
    }
    callback_(user_, &r);
  }

 private:
  vm_receive_callback_v1 callback_;
  void* user_;
};

}  // namespace

extern "C" int32_t vm_receive_packet_v1(uint64_t ctx_id, const uint8_t* root, size_t root_len, uint32_t flags,
                                        const uint8_t* packet, size_t packet_len, vm_receive_callback_v1 callback,
                                        void* user) noexcept {
  std::optional<std::string_view> registry_root;
  if (callback == nullptr || (packet == nullptr && packet_len != 0) || !read_root(root, root_len, registry_root))
    return 0;
  CallbackSink sink(callback, user);
  vm::receive_packet(ctx_id, packet_len == 0 ? std::string_view() : vm::as_text({packet, packet_len}), registry_root,
                     options_of(flags), sink);
  return 1;
}

extern "C" int32_t vm_receive_packets_v1(uint64_t ctx_id, const uint8_t* root, size_t root_len, uint32_t flags,
                                         const uint8_t* packets, size_t packets_len, vm_receive_callback_v1 callback,
                                         void* user) noexcept {
  std::optional<std::string_view> registry_root;
  if (callback == nullptr || (packets == nullptr && packets_len != 0) || !read_root(root, root_len, registry_root))
    return 0;
  CallbackSink sink(callback, user);
  const vm::FramedReceipt receipt = vm::receive_framed_packets(
      ctx_id, packets_len == 0 ? std::string_view() : vm::as_text({packets, packets_len}), registry_root,
      options_of(flags), sink, INT32_MAX);
  return receipt.whole ? static_cast<int32_t>(receipt.entries) : -1;
}

extern "C" int32_t vm_context_save_v1(uint64_t ctx_id, const uint8_t* root, size_t root_len, uint32_t flags) noexcept {
  std::optional<std::string_view> registry_root;
  if (!read_root(root, root_len, registry_root)) registry_root.reset();  // a root naming no directory
  const std::int64_t written = vm::save_context(ctx_id, registry_root, (flags & VM_SAVE_FSYNC) != 0);
  if (written < 0) return -1;
  return written > INT32_MAX ? INT32_MAX : static_cast<int32_t>(written);
}

extern "C" int32_t vm_context_drop_v1(uint64_t ctx_id) noexcept { return vm::drop_context(ctx_id) ? 1 : 0; }
