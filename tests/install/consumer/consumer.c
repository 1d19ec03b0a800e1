/* Uses the installed header and library: the version text and one checksum. */
#include <stdio.h>
#include <string.h>

#include <velmarinthos_tavkin.h>

int main(void) {
  uint8_t version[32];
  if (vm_tavkin_version(version, sizeof version) != 1) return 1;
  if (strcmp((const char*)version, "velmarinthos_tavkin/0.1.0") != 0) return 1;
  if (vm_crc16_ccitt_pub((const uint8_t*)"123456789", 9, 0x1021, 0xFFFF) != 0x29B1) return 1;
  printf("%s\n", (const char*)version);
  return 0;
}
