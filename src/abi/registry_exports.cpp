// C exports of the registry files: what an operator watches.
#include "registry/failed_saves.h"
#include "velmarinthos_tavkin.h"

extern "C" uint64_t vm_registry_save_failures_v1(void) noexcept { return vm::failed_save_count(); }
