// The gateway's status line: one JSON object per line on standard error, every --status
// seconds, with the counters, the rates over the interval since the line before, the
// partitions and the last checkpoint. docs/deployment.md ("Metrics") lists its members.
// Pure function.
#pragma once

#include <string>
#include <string_view>

#include "gateway_counters.h"

namespace tavkin {

// The line (without its newline). Rates over `seconds` since `last`; `unix_time` is when.
[[nodiscard]] std::string status_json(const GatewaySnapshot& now, const GatewayCounters& last, double seconds,
                                      std::string_view gateway, double unix_time);

}  // namespace tavkin
