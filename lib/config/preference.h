// The layered preference store: six dictionaries consulted in a fixed order.
#pragma once

bool Preference_Init(void);
bool Preference_InitNoUser(void);
void Preference_Exit(void);
void Preference_SetNonPersistent(const char *text, bool replace);
void Preference_Log(void);

// Reads the panic settings ("coreDumpOnPanic", "panic.loopOnPanic") from the
// store and sets them in the panic code (lib/sig/panic.h).
void Panic_LoadSettings(void);
