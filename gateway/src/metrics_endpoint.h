// The gateway's /metrics endpoint for Prometheus (--metrics-port), served by libmicrohttpd
// on its own polling thread.
//
// Thread rule: the gateway's loop owns the counters and calls publish() with a copy of them
// now and then; the HTTP thread reads only the latest published snapshot, which it takes
// under the mutex (a shared pointer to an immutable snapshot) and renders outside it. The
// loop never waits for a scrape longer than that pointer swap.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "gateway_counters.h"

struct MHD_Daemon;

namespace tavkin {

class MetricsEndpoint {
 public:
  // Listens on address:port (a numeric IPv4 or IPv6 address); nullptr with a reason when
  // it cannot. Until the first publish() a scrape answers 503.
  [[nodiscard]] static std::unique_ptr<MetricsEndpoint> start(const std::string& address, std::uint16_t port,
                                                               std::string& error);
  ~MetricsEndpoint();  // stops serving and joins the HTTP thread
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // The loop's side: what the next scrapes show.
  void publish(GatewaySnapshot snapshot);

  // The HTTP thread's side: the latest snapshot, or nullptr before the first.
  [[nodiscard]] std::shared_ptr<const GatewaySnapshot> latest() const;

 private:
  MetricsEndpoint() = default;

  mutable std::mutex mutex_;
  std::shared_ptr<const GatewaySnapshot> latest_;  // guarded by mutex_
  MHD_Daemon* daemon_ = nullptr;
};

}  // namespace tavkin
