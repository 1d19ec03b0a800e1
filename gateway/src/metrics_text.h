// The gateway's counters in the Prometheus text exposition format (version 0.0.4): every
// family with its HELP and TYPE lines, names prefixed tavkin_gateway_, counters ending in
// _total, units in the names. docs/deployment.md ("Metrics") lists the families. Pure
// functions.
#pragma once

#include <string>
#include <string_view>

#include "gateway_counters.h"

namespace tavkin {

inline constexpr std::string_view kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

[[nodiscard]] std::string metrics_text(const GatewaySnapshot& snapshot);

// A label value as the format writes it between its quotes: backslash, double quote and
// line feed escaped.
[[nodiscard]] std::string escape_label_value(std::string_view value);

}  // namespace tavkin
