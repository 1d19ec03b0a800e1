// Helpers for the typed receive tests, through the C exports only: a simulated fleet's
// packets with the faults a link adds (losses, repeats, damage), the framing of many
// packets for vm_receive_packets_v1, and the outcomes a callback collects.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "request_support.h"

namespace requests {

// What one callback received, copied out of the library's memory.
struct Received {
  int32_t outcome = -1;
  std::uint8_t command = 0;
  std::uint8_t tid = 0;
  std::uint32_t source_aid = 0;
  std::uint64_t timestamp = 0;
  bool has_fact = false;
  std::string fact;
};

inline void collect(void* user, const vm_received_v1* r) {
  Received out;
  out.outcome = r->outcome;
  out.command = r->command;
  out.tid = r->tid;
  out.source_aid = r->source_aid;
  out.timestamp = r->timestamp;
  out.has_fact = r->fact != nullptr;
  if (r->fact != nullptr) out.fact.assign(reinterpret_cast<const char*>(r->fact), r->fact_len);
  static_cast<std::vector<Received>*>(user)->push_back(std::move(out));
}

inline const std::uint8_t* bytes_of(std::string_view s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

// vm_receive_packet_v1 on one packet; the one outcome.
inline Received receive_one(std::uint64_t ctx, std::string_view packet, std::uint32_t flags, std::string_view root = {}) {
  std::vector<Received> got;
  EXPECT_EQ(vm_receive_packet_v1(ctx, bytes_of(root), root.size(), flags, bytes_of(packet), packet.size(), collect, &got),
            1);
  EXPECT_EQ(got.size(), 1u);
  return got.empty() ? Received{} : got.front();
}

// The entries (u32 big-endian length, bytes) of vm_receive_packets_v1.
inline std::string framed(const std::vector<std::string>& packets) {
  std::string out;
  for (const std::string& p : packets) {
    put_u32(out, static_cast<std::uint32_t>(p.size()));
    out += p;
  }
  return out;
}

// vm_receive_packets_v1 on all of them in one call.
inline std::vector<Received> receive_all(std::uint64_t ctx, const std::vector<std::string>& packets, std::uint32_t flags,
                                         std::string_view root = {}) {
  std::vector<Received> got;
  const std::string in = framed(packets);
  EXPECT_EQ(vm_receive_packets_v1(ctx, bytes_of(root), root.size(), flags, bytes_of(in), in.size(), collect, &got),
            static_cast<int32_t>(packets.size()));
  return got;
}

// The 8-character timestamp text of a 48-bit timestamp.
inline std::string ts_text(std::uint64_t ts) {
  static constexpr char kUrl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  for (int shift = 42; shift >= 0; shift -= 6) out += kUrl[(ts >> shift) & 63];
  return out;
}

// Fact i of device `aid`: even devices stay (one template, values changing now and then,
// so heartbeats and differences), odd ones move (a new place, so a new template, often).
inline std::string fleet_fact(std::uint32_t aid, std::uint64_t i) {
  const std::string ts = ts_text(1'700'000'000'000 + i);
  if (aid % 2 == 0)
    return "pump.1." + ts + "|t>0.c:" + std::to_string(i / 3 % 11) + "|p>0.b:" + std::to_string(i / 7 % 5) + "|";
  const std::uint64_t place = i % 4 == 0 ? i % 3 : (i * 7919) % 40;
  return "truck.1." + ts + "|t>0.c:" + std::to_string(i % 17) + "|&g" + std::to_string(place) + "|";
}

// The packets a fleet of `devices` sends over `rounds` rounds, then spoiled as a link and
// a broker spoil them (seeded): some lost, some delivered twice (at once or much later),
// some damaged in the trailer, cut short, or cut in the body with a good trailer (a body
// its template cannot take), and a few that are not data packets at all.
inline std::vector<std::string> spoiled_fleet_packets(std::uint32_t devices, int rounds, bool state_check,
                                                      std::uint64_t seed) {
  const std::uint64_t sender = fresh_ctx();
  std::mt19937_64 random(seed);
  std::vector<std::string> out;
  for (int round = 0; round < rounds; ++round) {
    for (std::uint32_t aid = 1; aid <= devices; ++aid) {
      RunRequest r{sender, fleet_fact(aid, static_cast<std::uint64_t>(round)), "", aid};
      r.state_check = state_check;
      std::string packet = run(r);
      if (packet.empty()) continue;
      switch (random() % 40) {
        case 0: continue;  // lost
        case 1: out.push_back(packet); break;  // delivered twice in a row
        case 2: if (!out.empty()) out.push_back(out[random() % out.size()]); break;  // an old one again
        case 3: packet.back() ^= 0x5A; break;  // trailer damaged
        case 4: packet.resize(random() % 5); break;  // too short
        case 5: packet.resize(9); break;  // a route that the packet does not hold
        case 6:
          if (packet.size() > 16 && static_cast<unsigned char>(packet[0]) != 63) {
            // The body cut to its first byte, framed anew so that the trailer holds.
            const auto tid = static_cast<std::uint8_t>(packet[6]);
            std::uint64_t ts = 0;
            for (int k = 0; k < 6; ++k) ts = ts << 8 | static_cast<unsigned char>(packet[7 + k]);
            packet = frame(static_cast<std::uint8_t>(packet[0]), {aid}, tid, ts, packet.substr(13, 1));
          }
          break;
        case 7: packet = frame(0xBA, {aid}, 0, 0, "x"); break;  // not a data command
        default: break;
      }
      out.push_back(std::move(packet));
    }
  }
  return out;
}

}  // namespace requests
