#include "requests/batch_pipeline.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

#include "compressor/compress_fact.h"
#include "compressor/compressor_table.h"
#include "compressor/fact_record.h"
#include "requests/send_fact.h"
#include "contexts/context_cache.h"
#include "wire/byte_reader.h"
#include "wire/utf8.h"
#include "velmarinthos_tavkin.h"

namespace vm {
namespace {

constexpr std::size_t kBatchHeaderSize = 24;

// The top bit of the registry text's length asks for state-checked packets. A length with
// it set could never be met by an input, so a batch that sets it was refused before and
// no caller can have meant anything else by it.
constexpr std::uint32_t kStateCheckBit = VM_BATCH_STATE_CHECK;

// The next bit asks for key frames: the registry text is followed by the rule, every u64
// and seconds f64. No registry directory is a gigabyte long, so no working batch set it.
constexpr std::uint32_t kKeyFramesBit = VM_BATCH_KEY_FRAMES;
constexpr std::uint32_t kRootLengthMask = ~(kStateCheckBit | kKeyFramesBit);

struct BatchItem {
  DeviceId aid;
  bool force_full;
  ByteSpan record;
};

// Reads one item; nullopt when the input ends inside it.
std::optional<BatchItem> read_item(ByteReader& reader) {
  const auto aid = reader.u32();
  if (!aid) return std::nullopt;
  const auto flag = reader.u8();
  if (!flag) return std::nullopt;
  const auto record = reader.counted();
  if (!record) return std::nullopt;
  return BatchItem{DeviceId{*aid}, *flag != 0, as_bytes(*record)};
}

void put_empty_entry(std::string& out) { put_u32(out, 0); }

// Scratch reused by every item of every batch on this thread.
struct ItemScratch {
  std::string fact_text;
  FactLayout layout;
  PreparedFact prepared;
  DeferredSaves touched;
};

// Compresses, fuses and frames one item; appends its packet entry (length and bytes) to
// `out`, or returns false and appends nothing. Devices whose templates changed are noted
// in the scratch, to be written back once the batch is done.
bool process_item(const FactCompressor& compressor, TemplateRegistry& registry,
                  std::optional<std::string_view> root, SendOptions options, const BatchItem& item,
                  ItemScratch& scratch, std::string& out) {
  std::string& text = scratch.fact_text;
  text.clear();
  char digits[16];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, raw(item.aid));
  text.append(digits, end);
  text.push_back(';');
  // The compact text needs no UTF-8 check: compression writes only the record's texts
  // (checked as it reads them, and cut only at ASCII bytes), the configuration's codes
  // (checked when it was read) and ASCII.
  if (!compress_fact(compressor, item.record, text, scratch.layout)) return false;
  // The signature and values come from where compression put them, not from a search.
  if (prepare_written_fact(text, scratch.layout, scratch.prepared) != SendResult::packet) return false;

  const std::size_t entry = out.size();
  put_u32(out, 0);
  options.force_full = item.force_full;
  // Key frames are timed by the facts themselves: each record's timestamp is its clock.
  if (options.key_frames.enabled()) options.now = FactRecordReader(item.record).header()->timestamp;
  if (send_prepared(registry, item.aid, options, text, scratch.prepared, root, &scratch.touched, out) !=
      SendResult::packet) {
    out.resize(entry);
    return false;
  }
  // An answer holding a packet of 4 GiB or more could not be handed back anyway (results
  // are 32-bit), so the length's low 32 bits never reach a caller wrong.
  const auto p = static_cast<std::uint32_t>(out.size() - entry - 4);
  const char len_be[4] = {static_cast<char>(p >> 24), static_cast<char>(p >> 16),
                          static_cast<char>(p >> 8), static_cast<char>(p)};
  std::memcpy(out.data() + entry, len_be, 4);
  return true;
}

// Every packet entry of an answer that the caller will not get.
void note_batch_not_handed_out(TemplateRegistry& registry, std::string_view entries) {
  ByteReader reader(as_bytes(entries));
  while (const auto packet = reader.counted()) {
    if (!packet->empty()) note_not_handed_out(registry, *packet);
  }
}

}  // namespace

bool run_batch(ByteSpan input, AnswerRoom room, std::string& out) {
  ByteReader reader(input);
  if (input.size() < kBatchHeaderSize) return false;
  const std::uint64_t handle = *reader.u64();
  const std::uint64_t ctx_id = *reader.u64();
  const std::uint32_t count = *reader.u32();
  const std::uint32_t root_word = *reader.u32();
  SendOptions options;
  options.state_check = (root_word & kStateCheckBit) != 0;
  const auto root_bytes = reader.bytes(root_word & kRootLengthMask);
  if (!root_bytes) return false;
  if ((root_word & kKeyFramesBit) != 0) {
    const auto every = reader.u64();
    const auto seconds = reader.f64();
    if (!every || !seconds) return false;
    options.key_frames = {*every, *seconds};
  }
  std::optional<std::string_view> root;
  if (!root_bytes->empty() && is_valid_utf8(*root_bytes)) root = *root_bytes;

  const auto compressor = acquire_compressor(CompressorHandle{handle});
  if (!compressor) return false;

  thread_local ItemScratch scratch;
  scratch.touched.devices.clear();
  const FusionStatePtr state = context_state_for(ctx_id);
  std::lock_guard lock(state->lock);

  const std::size_t start = out.size();
  put_u32(out, count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto item = read_item(reader);
    if (!item) {
      put_empty_entry(out);
      break;
    }
    if (!process_item(*compressor, state->registry, root, options, *item, scratch, out))
      put_empty_entry(out);
  }
  // A device's file is written once per batch, after its last change: the content is the
  // same as writing it after every item, at a fraction of the cost.
  save_deferred(state->registry, scratch.touched, root);
  if (!room.takes(out.size())) note_batch_not_handed_out(state->registry, std::string_view(out).substr(start + 4));
  return true;
}

}  // namespace vm
