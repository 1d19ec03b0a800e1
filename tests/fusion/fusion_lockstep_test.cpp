// Sender and receiver in lock step: a random run of facts is encoded on one registry and
// every decision is applied on another, as the wire would carry it. After each step both
// hold the same templates, and every rebuilt text is the text that was encoded.
#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fusion/packet_decoder.h"
#include "fusion/packet_encoder.h"
#include "fusion_test_support.h"
#include "wire/command.h"

namespace vm {
namespace {

using Values = std::vector<std::string>;

// Signature shapes: a device name, then `readings` segments "s<j>>" slot ":" slot, and
// optionally a message segment without slots. 64 and 65 readings give 128 and 130 values.
struct Shape {
  std::size_t readings;
  bool message;
};
const Shape kShapes[] = {{0, false}, {0, true}, {1, false}, {3, true}, {64, false}, {65, false}};

std::string signature_of(const Shape& shape) {
  std::string sig = "dev.{TS}|";
  for (std::size_t j = 0; j < shape.readings; ++j) sig += "s" + std::to_string(j) + ">\x01:\x01|";
  if (shape.message) sig += "&msg|";
  return sig;
}

// The compact fact as a sender would have written it, built directly from its parts; a
// slot left without a value keeps its 0x01 byte.
std::string naive_text(const Shape& shape, std::string_view ts, const Values& values) {
  auto value = [&](std::size_t i) { return i < values.size() ? values[i] : std::string("\x01"); };
  std::string text = "dev." + std::string(ts) + "|";
  for (std::size_t j = 0; j < shape.readings; ++j) {
    text += "s" + std::to_string(j) + ">" + value(2 * j) + ":" + value(2 * j + 1) + "|";
  }
  if (shape.message) text += "&msg|";
  return text;
}

bool same_templates(const TemplateRegistry& a, const TemplateRegistry& b) {
  if (a.devices.size() != b.devices.size()) return false;
  for (const auto& [aid, x] : a.devices) {
    const DeviceTemplates* y = find_device(b, aid);
    if (y == nullptr || x.sig_to_tid != y->sig_to_tid || x.tid_to_sig != y->tid_to_sig ||
        x.last_vals != y->last_vals || x.next_tid != y->next_tid) {
      return false;
    }
  }
  return true;
}

rc::Gen<std::string> value_gen() {
  using namespace rc;
  return gen::weightedOneOf<std::string>({
      {8, gen::container<std::string>(gen::elementOf(std::string("0123456789abcXYZ.,-")))},
      {2, gen::container<std::string>(gen::elementOf(std::string("\x01|:>{}TS\0", 9)))},
      {1, gen::map(gen::inRange<std::size_t>(250, 300), [](std::size_t n) { return std::string(n, 'L'); })},
      {1, gen::just(std::string())},
  });
}

RC_GTEST_PROP(FusionLockStep, ReceiverHoldsWhatSenderHoldsAfterEveryPacket, ()) {
  TemplateRegistry sender, receiver;
  std::map<std::pair<std::uint32_t, std::size_t>, Values> current;  // (aid, shape) -> values
  const int steps = *rc::gen::inRange(1, 80);
  for (int step = 0; step < steps; ++step) {
    const auto aid = *rc::gen::inRange<std::uint32_t>(7, 9);
    const auto shape_index = *rc::gen::inRange<std::size_t>(0, std::size(kShapes));
    const Shape& shape = kShapes[shape_index];
    const std::size_t slots = 2 * shape.readings;
    Values& values = current[{aid, shape_index}];
    if (values.empty() && slots > 0) values = *rc::gen::container<Values>(slots, value_gen());

    switch (*rc::gen::weightedElement<int>({{3, 0}, {6, 1}, {1, 2}})) {
      case 0:  // unchanged
        break;
      case 1: {  // a few values change
        const int edits = *rc::gen::inRange(1, 4);
        for (int e = 0; e < edits && !values.empty(); ++e) {
          values[*rc::gen::inRange<std::size_t>(0, values.size())] = *value_gen();
        }
        break;
      }
      default:  // the count changes (fewer values than slots leave slot bytes standing)
        values.resize(*rc::gen::inRange<std::size_t>(0, slots + 1), "r");
    }
    const bool force_full = *rc::gen::weightedElement<bool>({{9, false}, {1, true}});
    const std::string ts = *rc::gen::elementOf(std::vector<std::string>{"AYvP5WgA", "AAAAAAAB", "T\x01{TS}"});

    const std::string sig = signature_of(shape);
    const std::vector<std::string_view> fact(values.begin(), values.end());
    const auto decision = encode(sender, DeviceId{aid}, force_full, sig, fact);
    if (!decision) {
      // Only a changed value too long for a difference is refused, and nothing is stored.
      RC_ASSERT(!force_full);
      RC_ASSERT(values.size() <= kMaxDiffValues);
      RC_ASSERT(same_templates(sender, receiver));
      continue;
    }

    // The decision as the wire carries it.
    std::string bytes;
    append_decision_bytes(bytes, *decision);
    const auto wire = read_decision(as_bytes(bytes));
    RC_ASSERT(wire.has_value());
    if (wire->command == DATA_FULL) {
      RC_ASSERT(wire->flags & DECISION_FULL_BODY);
      DeviceTemplates& d = device_for(receiver, DeviceId{aid});
      learn_template(d, wire->tid, sig, values);
      raise_next_tid(d, wire->tid);
    } else {
      RC_ASSERT(wire->command == DATA_HEART || wire->command == DATA_DIFF);
      std::string text = "junk";
      RC_ASSERT(receive_apply(receiver, DeviceId{aid}, wire->command, wire->tid, ts, wire->body, text));
      RC_ASSERT(text == "junk" + naive_text(shape, ts, values));
    }
    RC_ASSERT(same_templates(sender, receiver));
  }
}

}  // namespace
}  // namespace vm
