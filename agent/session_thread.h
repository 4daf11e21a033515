// The session thread ("session"): holds the session bus connection while
// the agent captures, tells the capture event thread that the bus is
// reachable, and turns the bus closing at logout into a logoutFd wake-up.
#pragma once

#include <gio/gio.h>

struct SessionBusState;

// Thread body; data is the SessionBusState. Returns once stop is set.
void SessionThread(void *data);

// Handler of the connection's "closed" signal, run inside the thread's loop.
void OnSessionBusClosed(GDBusConnection *connection, gboolean remotePeerVanished,
                        GError *error, SessionBusState *state);

// Ends the thread's current main loop run (any thread); the caller sets
// stop first.
void SessionThreadQuit(SessionBusState *state);
