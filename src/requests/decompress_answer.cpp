#include "requests/decompress_answer.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>
#include <vector>

#include "json/json_writer.h"
#include "support/scratch.h"
#include "support/small_copy.h"

namespace vm {
namespace {

// Room for everything but the texts: braces, the fixed keys, the header summary, numbers.
constexpr std::size_t kFixedRoom = 512;
// Per reading besides its texts: four keys of up to 24 bytes and a number.
constexpr std::size_t kReadingRoom = 4 * 24 + json::kMaxNumberSize;

char* put(char* w, std::string_view text) noexcept {
  copy_text(w, text.data(), text.size());
  return w + text.size();
}

// ,"key": then the string, for a member that is present.
char* put_member(char* w, std::string_view comma_key_colon, const std::optional<std::string_view>& value) noexcept {
  if (!value) return w;
  return json::write_string(put(w, comma_key_colon), *value);
}

char* put_packet_meta(char* w, const HeaderInfo& h) noexcept {
  w = put(w, R"("__packet_meta__":{"base_cmd":)");
  w = json::write_uint(w, h.base_cmd);
  w = put(w, R"(,"cmd":)");
  w = json::write_uint(w, h.cmd);
  w = put(w, h.crc16_ok ? R"(,"crc16_ok":true,"secure":)" : R"(,"crc16_ok":false,"secure":)");
  w = put(w, h.secure ? "true" : "false");
  w = put(w, R"(,"source_aid":)");
  w = json::write_uint(w, h.source_aid);
  w = put(w, R"(,"tid":)");
  w = json::write_uint(w, h.tid);
  w = put(w, R"(,"timestamp_raw":)");
  w = json::write_uint(w, h.timestamp_raw);
  *w++ = '}';
  return w;
}

char* put_reading(char* w, std::size_t number, const CompactFactReading& r, int precision) noexcept {
  // The members' common start ,"sN_ is made once and copied before each suffix.
  char prefix[24] = {',', '"', 's'};
  char* end = std::to_chars(prefix + 3, prefix + 20, number).ptr;
  *end++ = '_';
  const auto n = static_cast<std::size_t>(end - prefix);
  const auto key = [&](const char* suffix, std::size_t size) {
    copy_text(w, prefix, n);
    std::memcpy(w + n, suffix, size);
    w += n + size;
  };
  key("id\":", 4);
  w = json::write_string(w, r.id);
  key("s\":", 3);
  w = json::write_string(w, r.state);
  key("u\":", 3);
  w = json::write_string(w, r.unit);
  key("v\":", 3);
  return json::write_double(w, reading_value_at(r, precision));
}

// The key order of `count` readings, kept per thread: a fleet's facts have the same count.
const std::vector<std::uint32_t>& reading_order(std::size_t count) {
  thread_local std::vector<std::uint32_t> order;
  thread_local std::size_t ordered = 0;
  if (ordered != count) {
    order_readings_by_key(count, order);
    ordered = count;
  }
  return order;
}

}  // namespace

void order_readings_by_key(std::size_t count, std::vector<std::uint32_t>& order) {
  order.resize(count);
  for (std::size_t i = 0; i < count; ++i) order[i] = static_cast<std::uint32_t>(i + 1);
  const auto key = [](std::uint32_t n, char (&text)[16]) {
    char* end = std::to_chars(text, text + 15, n).ptr;
    *end++ = '_';
    return std::string_view(text, static_cast<std::size_t>(end - text));
  };
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    char ta[16], tb[16];
    return key(a, ta) < key(b, tb);
  });
}

void append_decompress_answer(const CompactFactMembers& fact, const HeaderInfo& header, std::string& out,
                              int precision) {
  std::size_t room = kFixedRoom + fact.readings.size() * kReadingRoom;
  for (const auto* text : {&fact.id, &fact.s, &fact.geohash, &fact.url, &fact.msg})
    if (*text) room += json::string_room(**text);
  for (const CompactFactReading& r : fact.readings)
    room += json::string_room(r.id) + json::string_room(r.state) + json::string_room(r.unit);

  const std::size_t at = out.size();
  out.resize(at + room);
  char* w = out.data() + at;
  *w++ = '{';
  w = put_packet_meta(w, header);
  w = put_member(w, R"(,"geohash":)", fact.geohash);
  w = put_member(w, R"(,"id":)", fact.id);
  w = put_member(w, R"(,"msg":)", fact.msg);
  w = put_member(w, R"(,"s":)", fact.s);
  const std::size_t n = fact.readings.size();
  if (n < 10) {
    for (std::size_t i = 0; i < n; ++i) w = put_reading(w, i + 1, fact.readings[i], precision);
  } else {
    for (std::uint32_t number : reading_order(n)) w = put_reading(w, number, fact.readings[number - 1], precision);
  }
  if (fact.t_raw) {
    w = put(w, R"(,"t_raw":)");
    w = json::write_uint(w, *fact.t_raw);
  }
  w = put_member(w, R"(,"url":)", fact.url);
  *w++ = '}';
  out.resize(static_cast<std::size_t>(w - out.data()));
}

bool append_decompress_answer_of_text(std::string_view text, const HeaderInfo& header, std::string& out,
                                      int precision) {
  thread_local CompactFactMembers fact;
  const ScratchRelease release(fact.readings, fact.url_text, fact.msg_text, fact.scratch);
  if (!read_compact_fact(text, fact)) return false;
  append_decompress_answer(fact, header, out, precision);
  return true;
}

}  // namespace vm
