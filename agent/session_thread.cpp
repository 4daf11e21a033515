// Session bus connection and logout detection.

#include "agent/session_thread.h"

#include <chrono>

#include "agent/remote_context.h"
#include "base/event_fd.h"
#include "base/glib_owner.h"
#include "lib/log/log.h"

namespace {

// Pause between connection attempts while the bus cannot be reached.
constexpr auto kRetryPause = std::chrono::seconds(1);

// Waits out the pause, or less when stop is set meanwhile.
void PauseBeforeRetry(SessionBusState *state) {
  std::unique_lock<std::mutex> hold(state->mainLoopLock);
  state->quitSignal.wait_for(hold, kRetryPause, [state] { return state->stop.load(); });
}

// The loop is the session thread's own; the state only lends it to a quit
// from another thread. It is withdrawn before its owner releases it, so a
// concurrent quit never touches a released loop.
void PublishLoop(SessionBusState *state, GMainLoop *loop) {
  std::lock_guard<std::mutex> hold(state->mainLoopLock);
  state->mainLoop = loop;
}

// A quit that arrives before g_main_loop_run has started is forgotten by
// GLib. This runs once, first thing inside the running loop: a stop set
// before it is seen here, and one set after it finds the loop running and
// its quit takes. No periodic check, so an idle session thread sleeps.
gboolean CheckStopOnce(gpointer data) {
  auto *state = static_cast<SessionBusState *>(data);
  if (state->stop.load()) {
    SessionThreadQuit(state);
  }
  return G_SOURCE_REMOVE;
}

void OnClosedSignal(GDBusConnection *connection, gboolean remotePeerVanished, GError *error,
                    gpointer data) {
  OnSessionBusClosed(connection, remotePeerVanished, error, static_cast<SessionBusState *>(data));
}

// One connected run: subscribe to "closed", run the loop until it is quit.
// The handler is disconnected and the stop check destroyed (gone already
// unless the loop was quit before it got to run it) when this returns.
void ServeConnection(SessionBusState *state, GDBusConnection *connection, GMainLoop *loop) {
  SignalHandler closed(connection,
                       g_signal_connect(connection, "closed", G_CALLBACK(OnClosedSignal), state));
  Log_Info("Sightwell: Subscribed to DBus 'closed' signal for logout detection\n");

  AttachedSource stopCheck(g_idle_source_new());
  g_source_set_priority(stopCheck.get(), G_PRIORITY_HIGH);
  g_source_set_callback(stopCheck.get(), CheckStopOnce, state, nullptr);
  g_source_attach(stopCheck.get(), g_main_loop_get_context(loop));

  g_main_loop_run(loop);
}

}  // namespace

void SessionThreadQuit(SessionBusState *state) {
  std::lock_guard<std::mutex> hold(state->mainLoopLock);
  if (state->mainLoop != nullptr) g_main_loop_quit(state->mainLoop);
  state->quitSignal.notify_all();
}

void OnSessionBusClosed(GDBusConnection *, gboolean remotePeerVanished, GError *,
                        SessionBusState *state) {
  Log_Info("Sightwell: DBus session bus connection closed (remote_peer_vanished=%d) — logout detected\n",
           remotePeerVanished);
  if (!remotePeerVanished) {
    Log_Info("Sightwell: Ignoring local DBus close (not a logout)\n");
    return;
  }
  if (state->logoutFd >= 0 && SignalEventFd(state->logoutFd) < 0) {
    Log_Warning("Sightwell: Failed to write logout state to logoutFd\n");
  }
  SessionThreadQuit(state);
}

void SessionThread(void *data) {
  auto *state = static_cast<SessionBusState *>(data);
  if (state == nullptr) return;

  while (!state->stop.load()) {
    // The default main context: the shared session connection made below
    // emits its signals there, and this thread is the one that runs it.
    g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
    PublishLoop(state, loop);
    if (state->stop.load()) {
      PublishLoop(state, nullptr);
      break;
    }

    g_autoptr(GError) error = nullptr;
    g_autoptr(GDBusConnection) connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    // After a logout the bus library hands back the same, closed, shared
    // connection for as long as other threads still hold it: that is no
    // connection either.
    if (connection != nullptr && g_dbus_connection_is_closed(connection)) {
      g_clear_object(&connection);
      g_set_error_literal(&error, G_IO_ERROR, G_IO_ERROR_CLOSED, "The connection is closed");
    }
    if (connection == nullptr) {
      Log_Error("Sightwell: Failed to connect to session DBus: %s",
                error != nullptr && error->message != nullptr ? error->message : "(no error message)");
      PublishLoop(state, nullptr);
      state->connection = nullptr;
      Log_Warning("Session thread: DBus connection failed; retrying in 1 second\n");
      PauseBeforeRetry(state);
      continue;
    }

    state->connection = connection;
    state->connected.store(true);
    Log_Info("Sightwell: DBus connection established, signaling dependent threads");
    ServeConnection(state, connection, loop);

    PublishLoop(state, nullptr);
    state->connection = nullptr;
  }
}
