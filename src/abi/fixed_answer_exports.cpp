// The version export and the reserved entry points, whose answers are fixed texts stored
// byte for byte. None of them reads its input.
#include <cstring>

#include "abi/result_buffer.h"
#include "velmarinthos_tavkin.h"

namespace {

constexpr char kVersion[] = "velmarinthos_tavkin/0.1.0";  // 25 characters and the NUL

#define VM_NOT_IMPLEMENTED(name)                                                          \
  extern "C" int32_t name(const uint8_t*, size_t, uint8_t* out, size_t cap) noexcept {    \
    return vm::write_result("{\"ok\":false,\"error\":\"" #name "_not_implemented\"}", out, cap); \
  }

}  // namespace

extern "C" int32_t vm_tavkin_version(uint8_t* buf, size_t cap) noexcept {
  if (buf == nullptr || cap < sizeof kVersion) return 0;
  std::memcpy(buf, kVersion, sizeof kVersion);
  return 1;
}

// Not dead code: hosts link against these names and expect their fixed answers, so they
// stay exported, unchanged, for as long as the _v1 interface lives.
VM_NOT_IMPLEMENTED(vm_handshake_negotiate_v1)
VM_NOT_IMPLEMENTED(vm_node_dispatch_json_v1)
VM_NOT_IMPLEMENTED(vm_node_ensure_id_json_v1)
VM_NOT_IMPLEMENTED(vm_node_transmit_json_v1)
VM_NOT_IMPLEMENTED(vm_transporter_listen_v1)
VM_NOT_IMPLEMENTED(vm_transporter_send_v1)

extern "C" int32_t vm_standardize_json_v1(const uint8_t*, size_t, uint8_t* out, size_t cap) noexcept {
  return vm::write_result("{}", out, cap);
}
