// Process start-up of the agent: signal handlers, support library, log
// file, environment, then the remote routine on the main thread.
#pragma once

// Runs the agent; returns the exit status (0 after a clean end, 1 when the
// remote routine failed). Panics (status 255) on a missing card name or log.
int SightwellMain(int argc, char **argv);
