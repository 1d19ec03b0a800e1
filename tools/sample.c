/* Prints the library version, frames a sample packet by hand with the exported
 * checksums and parses it back with the header parser. Uses the public header only. */
#include <stdio.h>
#include <string.h>

#include "velmarinthos_tavkin.h"

int main(void) {
  uint8_t version[32];
  if (vm_tavkin_version(version, sizeof version) != 1) return 1;
  printf("library      %s\n", (const char*)version);

  const char* body = "node7.1.AYvP5WgA|t1>0.c1:yG|";
  uint8_t packet[128];
  size_t n = 0;
  packet[n++] = 63;                                 /* full packet */
  packet[n++] = 1;                                  /* one hop */
  packet[n++] = 0x12; packet[n++] = 0x34; packet[n++] = 0x56; packet[n++] = 0x78; /* device */
  packet[n++] = 24;                                 /* template */
  const uint8_t ts[6] = {0x01, 0x8B, 0xCF, 0xE5, 0x68, 0x00}; /* 1700000000000 ms */
  memcpy(packet + n, ts, 6);
  n += 6;
  memcpy(packet + n, body, strlen(body));
  n += strlen(body);
  packet[n] = vm_crc8((const uint8_t*)body, strlen(body), 0x07, 0x00);
  ++n;
  const uint16_t crc = vm_crc16_ccitt_pub(packet, n, 0x1021, 0xFFFF);
  packet[n++] = (uint8_t)(crc >> 8);
  packet[n++] = (uint8_t)crc;

  uint64_t h[9];
  if (vm_parse_header_min(packet, n, h, 9) != 1) return 1;
  printf("packet       %zu bytes, command %llu (base %llu, secure %llu)\n", n,
         (unsigned long long)h[0], (unsigned long long)h[1], (unsigned long long)h[2]);
  printf("route        %llu hop(s), source device %llu\n", (unsigned long long)h[3],
         (unsigned long long)h[5]);
  printf("template     %llu, timestamp %llu ms\n", (unsigned long long)h[6], (unsigned long long)h[7]);
  printf("crc16        %s\n", h[8] ? "ok" : "MISMATCH");
  return h[8] ? 0 : 1;
}
