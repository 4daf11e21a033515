// Reads the panic settings from the preferences. Kept apart from Panic so
// that programs which never load preferences do not pull in the store.
#include "lib/config/config.h"
#include "lib/sig/panic.h"

void Panic_LoadSettings(void) {
  Panic_SetCoreDumpOnPanic(Config_GetBool(true, "coreDumpOnPanic"));
  Panic_SetLoopOnPanic(Config_GetBool(false, "panic.loopOnPanic"));
}
