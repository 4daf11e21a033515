// Session bus connection and logout detection.

#include "agent/session_thread.h"

#include <errno.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

#include "agent/remote_context.h"
#include "lib/log/log.h"

namespace {

// Pause between connection attempts while the bus cannot be reached.
constexpr auto kRetryPause = std::chrono::seconds(1);

// Waits out the pause, or less when stop is set meanwhile.
void PauseBeforeRetry(SessionBusState *state) {
  std::unique_lock<std::mutex> hold(state->mainLoopLock);
  state->quitSignal.wait_for(hold, kRetryPause, [state] { return state->stop.load(); });
}

void PublishLoop(SessionBusState *state, GMainLoop *loop) {
  std::lock_guard<std::mutex> hold(state->mainLoopLock);
  state->mainLoop = loop;
}

// Clears the published loop before dropping it, so a concurrent quit never
// touches a released loop.
void ReleaseLoop(SessionBusState *state) {
  GMainLoop *loop;
  {
    std::lock_guard<std::mutex> hold(state->mainLoopLock);
    loop = state->mainLoop;
    state->mainLoop = nullptr;
  }
  if (loop != nullptr) g_main_loop_unref(loop);
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
void ServeConnection(SessionBusState *state, GDBusConnection *connection, GMainLoop *loop) {
  gulong handler = g_signal_connect(connection, "closed", G_CALLBACK(OnClosedSignal), state);
  Log_Info("Sightwell: Subscribed to DBus 'closed' signal for logout detection\n");

  GSource *stopCheck = g_idle_source_new();
  g_source_set_priority(stopCheck, G_PRIORITY_HIGH);
  g_source_set_callback(stopCheck, CheckStopOnce, state, nullptr);
  g_source_attach(stopCheck, g_main_loop_get_context(loop));

  g_main_loop_run(loop);

  // Gone already unless the loop was quit before it got to run it.
  g_source_destroy(stopCheck);
  g_source_unref(stopCheck);
  g_signal_handler_disconnect(connection, handler);
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
  if (state->logoutFd >= 0) {
    uint64_t one = 1;
    ssize_t n;
    do {
      n = write(state->logoutFd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof one)) {
      Log_Warning("Sightwell: Failed to write logout state to logoutFd\n");
    }
  }
  SessionThreadQuit(state);
}

void SessionThread(void *data) {
  auto *state = static_cast<SessionBusState *>(data);
  if (state == nullptr) return;

  while (!state->stop.load()) {
    // The default main context: the shared session connection made below
    // emits its signals there, and this thread is the one that runs it.
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    PublishLoop(state, loop);
    if (state->stop.load()) {
      ReleaseLoop(state);
      break;
    }

    GError *error = nullptr;
    GDBusConnection *connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    // After a logout the bus library hands back the same, closed, shared
    // connection for as long as other threads still hold it: that is no
    // connection either.
    if (connection != nullptr && g_dbus_connection_is_closed(connection)) {
      g_object_unref(connection);
      connection = nullptr;
      g_set_error_literal(&error, G_IO_ERROR, G_IO_ERROR_CLOSED, "The connection is closed");
    }
    if (connection == nullptr) {
      Log_Error("Sightwell: Failed to connect to session DBus: %s",
                error != nullptr && error->message != nullptr ? error->message : "(no error message)");
      g_clear_error(&error);
      ReleaseLoop(state);
      state->connection = nullptr;
      Log_Warning("Session thread: DBus connection failed; retrying in 1 second\n");
      PauseBeforeRetry(state);
      continue;
    }

    state->connection = connection;
    state->connected.store(true);
    Log_Info("Sightwell: DBus connection established, signaling dependent threads");
    ServeConnection(state, connection, loop);

    ReleaseLoop(state);
    g_object_unref(connection);
    state->connection = nullptr;
  }
}
