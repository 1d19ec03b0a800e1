// Sending one compact fact: fuse it against a device's templates and frame its packet. The
// one road that run and relay requests, the batch and the Python API share, so that a
// fact that cannot become a packet changes no template anywhere: its timestamp is read
// and its shape checked before the encoder runs, and every decision then yields a packet.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compressor/decompose.h"
#include "compressor/fact_layout.h"
#include "fusion/key_frames.h"
#include "fusion/template_model.h"
#include "wire/packet_writer.h"
#include "support/ids.h"

namespace vm {

// A compact text made ready to fuse, outside any lock: its decomposition (views into the
// text), its packet timestamp, and whether it must travel whole (must_travel_whole).
struct PreparedFact {
  DecomposedFact decomposed;
  PacketTimestamp ts{};
  bool whole = false;
};

enum class SendResult {
  packet,          // appended to the output
  undecomposable,  // the text is not a compact fact; nothing changed
  no_packet,       // no packet can carry it (timestamp, or a change the encoder refuses); nothing changed
};

// Reads `text` into `prepared` (which keeps views into `text`). Reuses its buffers.
[[nodiscard]] SendResult prepare_fact(std::string_view text, PreparedFact& prepared);

// The same for a text that compression has just written with `layout`: the signature and
// values come from the layout, with the same result as from the text.
[[nodiscard]] SendResult prepare_written_fact(std::string_view text, const FactLayout& layout,
                                              PreparedFact& prepared);

// Devices whose files are to be written once the caller's sends are done: a batch writes
// each device once, after its last change.
struct DeferredSaves {
  std::vector<DeviceId> devices;
};

// With the lock of the context that owns `registry` held: loads the device from its file
// if the context does not know it yet, fuses the prepared fact and appends the packet to
// `out`; the packet's body is `text` (the text that was prepared, routing prefix included)
// when it travels whole. A changed device's file is written now, or noted in `deferred`
// when that is given. SendResult::no_packet appends nothing and changes no template.
// With `state_check`, heartbeats and differences carry the state check of the template's
// new state (state_check.h) in place of the CRC-8 of their body. With `key_frames` enabled
// the device's packet is also forced whole when its key frame is due at `now` (seconds on
// the caller's clock), and every packet of the device is counted.
struct SendOptions {
  bool force_full = false;
  bool state_check = false;
  KeyFrameRule key_frames;
  double now = 0;
};

[[nodiscard]] SendResult send_prepared(TemplateRegistry& registry, DeviceId aid, SendOptions options,
                                       std::string_view text, const PreparedFact& prepared,
                                       std::optional<std::string_view> registry_root,
                                       DeferredSaves* deferred, std::string& out);

// prepare_fact and send_prepared in one, for callers that hold the lock anyway.
[[nodiscard]] SendResult send_fact_text(TemplateRegistry& registry, DeviceId aid, SendOptions options,
                                        std::string_view text,
                                        std::optional<std::string_view> registry_root,
                                        DeferredSaves* deferred, std::string& out);

// With the lock of the context that owns `registry` held, for a packet that
// send_prepared made but that its caller never got (the answer did not fit): the
// template the packet names sends its next packet whole, since no receiver can hold what
// the packet would have taught it. The template change the packet made stands.
void note_not_handed_out(TemplateRegistry& registry, std::string_view packet);

// Writes the files of the devices noted in `deferred`, each once, and empties it.
void save_deferred(const TemplateRegistry& registry, DeferredSaves& deferred,
                   std::optional<std::string_view> registry_root);

}  // namespace vm
