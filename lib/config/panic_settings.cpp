// Reads the panic settings from the preferences and hands them down to the
// panic code, which sits below the store and so cannot read them itself.
#include "lib/config/config.h"
#include "lib/config/preference.h"
#include "lib/sig/panic.h"

void Panic_LoadSettings(void) {
  Panic_SetCoreDumpOnPanic(Config_GetBool(true, "coreDumpOnPanic"));
  Panic_SetLoopOnPanic(Config_GetBool(false, "panic.loopOnPanic"));
}
