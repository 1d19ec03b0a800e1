// The decompress request: a Base64 packet in a JSON request is checked (length, CRC-16
// trailer), brought back to its compact fact with the templates of the request's context,
// and answered as a flat JSON object with a summary of the header under
// "__packet_meta__". Full packets teach the receiver their template; diffs update its
// values; both are saved to the registry files. Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace vm {

// Appends the answer (success object, CRC answer or a fixed error text) to `out`.
void decompress_request(std::string_view request, std::string& out);

}  // namespace vm
