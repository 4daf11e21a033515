// The agent's main loop: connects to the parent and serves its commands
// until a stop, a logout or a fatal error.
#pragma once

// Returns 0 on a clean end (REMOTE_STOP, or a stop after a reported logout)
// and -1 on failure.
int RemoteRoutine(const char *cardName, bool greeterWorkflow);
