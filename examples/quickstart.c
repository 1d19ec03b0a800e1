/* Quick start in C: compress one sensor fact, turn it into a wire packet, and read the
 * packet back as JSON on the receiving side. Uses only the public header.
 *
 *   cc quickstart.c $(pkg-config --cflags --libs velmarinthos_tavkin) -o quickstart
 */
#include <stdio.h>
#include <string.h>

#include "velmarinthos_tavkin.h"

/* Big-endian writers for the binary records. */
static size_t put_u32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24); p[1] = (uint8_t)(v >> 16); p[2] = (uint8_t)(v >> 8); p[3] = (uint8_t)v;
  return 4;
}
static size_t put_text(uint8_t* p, const char* s) {
  const size_t n = strlen(s);
  put_u32(p, (uint32_t)n);
  memcpy(p + 4, s, n);
  return 4 + n;
}
static size_t put_f64(uint8_t* p, double v) {
  uint64_t bits;
  memcpy(&bits, &v, sizeof bits);
  for (int i = 0; i < 8; ++i) p[i] = (uint8_t)(bits >> (56 - 8 * i));
  return 8;
}

static const char B64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static size_t base64(const uint8_t* in, size_t n, char* out) {
  size_t o = 0;
  for (size_t i = 0; i < n; i += 3) {
    const uint32_t v = (uint32_t)in[i] << 16 | (i + 1 < n ? (uint32_t)in[i + 1] << 8 : 0) | (i + 2 < n ? in[i + 2] : 0);
    out[o++] = B64[v >> 18];
    out[o++] = B64[(v >> 12) & 63];
    out[o++] = i + 1 < n ? B64[(v >> 6) & 63] : '=';
    out[o++] = i + 2 < n ? B64[v & 63] : '=';
  }
  out[o] = '\0';
  return o;
}

int main(void) {
  /* 1. A compressor: 2 decimals, timestamps in ms, "celsius" -> "c1", "online"/"ok" -> codes. */
  uint8_t config[128];
  size_t n = put_u32(config, 2);
  config[n++] = 1;
  n += put_u32(config + n, 1);
  n += put_text(config + n, "celsius");
  n += put_text(config + n, "c1");
  n += put_u32(config + n, 2);
  n += put_text(config + n, "online");
  n += put_text(config + n, "1");
  n += put_text(config + n, "ok");
  n += put_text(config + n, "0");
  const uint64_t compressor = vm_compressor_create_v1(config, n);
  if (compressor == 0) return 1;

  /* 2. One fact: node "node7", state "ONLINE", one reading of 21.5 Celsius, no trailers. */
  uint8_t fact[256];
  n = put_text(fact, "node7");
  n += put_text(fact + n, "ONLINE");
  n += put_f64(fact + n, 1700000000.0);
  n += put_u32(fact + n, 1);
  n += put_text(fact + n, "t1");
  n += put_text(fact + n, "OK");
  n += put_f64(fact + n, 21.5);
  n += put_text(fact + n, "Celsius");
  for (int i = 0; i < 3; ++i) n += put_u32(fact + n, 0xFFFFFFFFu); /* no geohash, url, msg */

  uint8_t text[512];
  const int32_t text_len = vm_compress_fact_v1(compressor, fact, n, text, sizeof text);
  vm_compressor_free_v1(compressor);
  if (text_len <= 0) return 1;
  printf("compact text  %.*s\n", (int)text_len, (const char*)text);

  /* 3. The sender: a run request in context 10 for device 305419896. The text needs no
   *    JSON escaping here; a real host escapes it. Size the output before the call:
   *    the request changes the templates even when its answer does not fit, and
   *    VM_PACKET_BOUND gives a size that holds every answer for a text of this length. */
  char request[1024];
  int len = snprintf(request, sizeof request, "{\"ctx_id\":10,\"src_aid\":305419896,\"raw_input\":\"%.*s\"}",
                     (int)text_len, (const char*)text);
  uint8_t packet[VM_PACKET_BOUND(sizeof text)];
  const int32_t packet_len = vm_fusion_run_json_v1((const uint8_t*)request, (size_t)len, packet, sizeof packet);
  if (packet_len <= 0 || packet[0] == '{') return 1;
  printf("packet        %d bytes, command %d (full), template %d\n", packet_len, packet[0], packet[6]);

  /* 4. The receiver, in its own context 20: the packet in Base64 inside a JSON request. */
  char b64[1400];
  base64(packet, (size_t)packet_len, b64);
  len = snprintf(request, sizeof request, "{\"ctx_id\":20,\"packet_b64\":\"%s\"}", b64);
  uint8_t answer[4096];
  const int32_t answer_len = vm_fusion_decompress_json_v1((const uint8_t*)request, (size_t)len, answer, sizeof answer);
  if (answer_len <= 0) return 1;
  printf("receiver      %.*s\n", (int)answer_len, (const char*)answer);

  /* 5. The same fact again: a 16-byte heartbeat, which the receiver answers just the same. */
  len = snprintf(request, sizeof request, "{\"ctx_id\":10,\"src_aid\":305419896,\"raw_input\":\"%.*s\"}",
                 (int)text_len, (const char*)text);
  const int32_t beat_len = vm_fusion_run_json_v1((const uint8_t*)request, (size_t)len, packet, sizeof packet);
  if (beat_len != 16 || packet[0] != 127) return 1;
  printf("again         %d bytes, command %d (heartbeat)\n", beat_len, packet[0]);
  return strstr((const char*)answer, "\"s1_v\":0.215") != NULL ? 0 : 1;
}
