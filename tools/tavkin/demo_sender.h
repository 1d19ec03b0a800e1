// The demo's sending side: the fleet's facts in groups, each through one batch request (or
// one run request per fact), with key frames forced by the library. The plain demo and the
// lossy-link demo send alike through it. Single-threaded.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fact.h"
#include "key_frame_tally.h"
#include "library.h"

namespace tavkin {

struct Sent {
  Fact fact;         // its `aid` is set
  std::string text;  // compact text, as vm_compress_fact_v1 gives it
};

struct SenderSettings {
  std::uint64_t ctx = 1;
  std::string registry_root;  // empty: no files
  bool via_run = false;       // one run request per fact instead of a batch per group
  bool state_check = true;
  KeyFrames keyframes;
};

class DemoSender {
 public:
  using Clock = std::chrono::steady_clock;

  DemoSender(const Compressor& compressor, SenderSettings settings)
      : compressor_(compressor), settings_(std::move(settings)) {}

  // One packet per fact of the group, in order; empty where the library made none. A group
  // holds each device's facts in order.
  [[nodiscard]] std::vector<std::string> send(const std::vector<Sent>& group);

  [[nodiscard]] std::uint64_t keyframes() const { return keyframes_.count(); }
  [[nodiscard]] Clock::duration busy() const { return busy_; }  // inside the library

 private:
  std::vector<std::string> by_batch(const std::vector<Sent>& group);
  std::vector<std::string> by_run(const std::vector<Sent>& group);

  const Compressor& compressor_;
  SenderSettings settings_;
  KeyFrameTally keyframes_;
  Clock::duration busy_{};
  std::string buffer_;
};

}  // namespace tavkin
