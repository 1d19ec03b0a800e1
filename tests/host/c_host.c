/* A plain C99 host with no Python in the process: it compiles the public header as C,
 * loads the library with dlopen(RTLD_NOW) (so any unresolved strong symbol fails the
 * load), finds every export listed in exports.txt and calls the ones it can check. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "velmarinthos_tavkin.h"

static int failures = 0;
#define CHECK(cond)                                                   \
  do {                                                                \
    if (!(cond)) {                                                    \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                     \
    }                                                                 \
  } while (0)

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: c_host LIBRARY EXPORTS_LIST\n");
    return 2;
  }
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == NULL) {
    fprintf(stderr, "dlopen failed: %s\n", dlerror());
    return 1;
  }
  if (dlsym(RTLD_DEFAULT, "Py_Initialize") != NULL) {
    fprintf(stderr, "CPython is present in this host; the test would prove nothing\n");
    return 1;
  }

  FILE* list = fopen(argv[2], "r");
  if (list == NULL) {
    perror("exports list");
    return 2;
  }
  char name[128];
  int found = 0;
  while (fscanf(list, "%127s", name) == 1) {
    CHECK(dlsym(lib, name) != NULL);
    ++found;
  }
  fclose(list);
  CHECK(found > 0);

  int32_t (*version)(uint8_t*, size_t) = (int32_t (*)(uint8_t*, size_t))dlsym(lib, "vm_tavkin_version");
  uint8_t buf[64];
  CHECK(version != NULL && version(buf, sizeof buf) == 1 && strcmp((char*)buf, "velmarinthos_tavkin/0.1.0") == 0);

  uint16_t (*crc16)(const uint8_t*, size_t, uint16_t, uint16_t) =
      (uint16_t (*)(const uint8_t*, size_t, uint16_t, uint16_t))dlsym(lib, "vm_crc16_ccitt_pub");
  CHECK(crc16 != NULL && crc16((const uint8_t*)"123456789", 9, 0x1021, 0xFFFF) == 0x29B1);

  int32_t (*standardize)(const uint8_t*, size_t, uint8_t*, size_t) =
      (int32_t (*)(const uint8_t*, size_t, uint8_t*, size_t))dlsym(lib, "vm_standardize_json_v1");
  CHECK(standardize != NULL && standardize(NULL, 0, buf, sizeof buf) == 2 && memcmp(buf, "{}", 2) == 0);

  /* Linked directly too, so the header's declarations are checked against the library. */
  CHECK(vm_cmd_is_data(63) == 1);

  dlclose(lib);
  if (failures == 0) printf("c host ok: %d exports found\n", found);
  return failures == 0 ? 0 : 1;
}
