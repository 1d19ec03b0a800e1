#include "send_road.h"

#include <algorithm>

#include "compressor/decompose.h"
#include "fusion/packet_encoder.h"
#include "pipeline/packet_writer.h"
#include "pipeline/whole_packet.h"
#include "registry/registry_file.h"
#include "wire/utf8.h"

namespace vm::py {

SendOutcome send_text(TemplateRegistry& registry, DeviceId aid, bool force_full, std::string_view text,
                      std::optional<std::string_view> root, PendingSaves* pending, std::string& out) {
  thread_local DecomposedFact fact;
  thread_local std::string diff_body;
  if (!decompose(text, fact)) return SendOutcome::undecomposable;
  load_device_file(registry, aid, root);
  const auto decision = encode_into(registry, aid, force_full || must_travel_whole(fact, text), fact.sig,
                                    fact.vals, diff_body);
  if (!decision) return SendOutcome::no_packet;
  if (decision->flags & (DECISION_NEW_TEMPLATE | DECISION_STATE_CHANGED)) {
    if (pending != nullptr)
      pending->devices.push_back(aid);
    else
      save_device_file(registry, aid, root);
  }
  if (!is_valid_utf8(fact.ts)) return SendOutcome::no_packet;
  const std::string_view body = (decision->flags & DECISION_FULL_BODY) ? text : std::string_view(diff_body);
  return build_packet(decision->command, aid, decision->tid, fact.ts, body, out) ? SendOutcome::packet
                                                                                  : SendOutcome::no_packet;
}

void save_pending(const TemplateRegistry& registry, PendingSaves& pending, std::optional<std::string_view> root) {
  auto& d = pending.devices;
  std::sort(d.begin(), d.end());
  d.erase(std::unique(d.begin(), d.end()), d.end());
  for (DeviceId aid : d) save_device_file(registry, aid, root);
  d.clear();
}

}  // namespace vm::py
