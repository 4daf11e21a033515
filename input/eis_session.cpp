// Init: a RemoteDesktop session on the session bus, its EIS descriptor and a
// libei sender context on it. GetEisFd / SetDisconnectFd / SetInputStopWatch.
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <libei-1.0/libei.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "input/input.h"
#include "input/input_state.h"
#include "lib/log/log.h"

namespace {

constexpr const char kBusName[] = "org.gnome.Mutter.RemoteDesktop";
constexpr const char kRootPath[] = "/org/gnome/Mutter/RemoteDesktop";
constexpr const char kRootInterface[] = "org.gnome.Mutter.RemoteDesktop";
constexpr const char kSessionInterface[] = "org.gnome.Mutter.RemoteDesktop.Session";
// RemoteDesktop device types: keyboard (1) | pointer (2); no touchscreen.
constexpr guint32 kDeviceTypes = 3;

// Owns one GObject reference.
struct ConnectionRef {
  GDBusConnection *conn = nullptr;
  ~ConnectionRef() {
    if (conn != nullptr) {
      g_object_unref(conn);
    }
  }
  GDBusConnection *Release() {
    GDBusConnection *c = conn;
    conn = nullptr;
    return c;
  }
};

// A compositor that hangs must not keep input (and the agent's stop) for
// the 25 s of the D-Bus default: each call gets this long, and a stop of
// the agent ends it within kStopPollMs.
constexpr int kCallTimeoutMs = 5000;
// Stopping a session we give up on is a courtesy to the compositor (the
// session also dies with our bus connection): it gets a shorter wait.
constexpr int kStopTimeoutMs = 1000;
constexpr guint kStopPollMs = 50;

// Logs a failed D-Bus step and the common failure tail; the caller then
// drops what it holds (RAII) and returns.
void FailStep(InputState &state, const char *context, GError *error) {
  Log_Error("sightwellInput: %s: %s", context,
            error != nullptr && error->message != nullptr ? error->message : "unknown error");
  if (error != nullptr) {
    g_error_free(error);
  }
  Log_Error("sightwellInput: Failed to get EIS file descriptor");
  state.eisFd.store(-1, std::memory_order_release);
}

bool StopRequested(const InputState &state) {
  const std::atomic<bool> *flag = state.stopFlag.load(std::memory_order_acquire);
  return flag != nullptr && flag->load(std::memory_order_acquire);
}

struct CallResult {
  GVariant *reply = nullptr;
  GUnixFDList *fds = nullptr;
  GError *error = nullptr;
  bool done = false;
};

void OnCallDone(GObject *source, GAsyncResult *result, gpointer data) {
  auto *out = static_cast<CallResult *>(data);
  out->reply = g_dbus_connection_call_with_unix_fd_list_finish(G_DBUS_CONNECTION(source), &out->fds,
                                                                result, &out->error);
  out->done = true;
}

struct StopWatch {
  const InputState *state;
  GCancellable *cancellable;
};

gboolean OnStopPoll(gpointer data) {
  auto *watch = static_cast<StopWatch *>(data);
  if (StopRequested(*watch->state)) {
    g_cancellable_cancel(watch->cancellable);
  }
  return G_SOURCE_CONTINUE;
}

// One method call that returns after at most timeoutMs, or soon after the
// agent is asked to stop. The reply comes on a main context of this call's
// own, so nothing else of the thread runs meanwhile. outFds may be null.
GVariant *CallBounded(const InputState &state, GDBusConnection *conn, const char *path,
                      const char *interface, const char *method, GVariant *args,
                      const GVariantType *replyType, int timeoutMs, GUnixFDList **outFds,
                      GError **error) {
  if (StopRequested(state)) {
    if (args != nullptr) {
      g_variant_unref(g_variant_ref_sink(args));
    }
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_CANCELLED, "the agent is stopping");
    return nullptr;
  }
  g_autoptr(GMainContext) context = g_main_context_new();
  g_autoptr(GCancellable) cancellable = g_cancellable_new();
  StopWatch watch{&state, cancellable};
  g_autoptr(GSource) stopPoll = g_timeout_source_new(kStopPollMs);
  g_source_set_callback(stopPoll, OnStopPoll, &watch, nullptr);
  g_source_attach(stopPoll, context);

  CallResult result;
  g_main_context_push_thread_default(context);
  g_dbus_connection_call_with_unix_fd_list(conn, kBusName, path, interface, method, args, replyType,
                                           G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, cancellable,
                                           OnCallDone, &result);
  while (!result.done) {
    g_main_context_iteration(context, TRUE);
  }
  g_main_context_pop_thread_default(context);
  g_source_destroy(stopPoll);

  if (outFds != nullptr) {
    *outFds = result.fds;
  } else if (result.fds != nullptr) {
    g_object_unref(result.fds);
  }
  if (result.reply == nullptr) {
    g_propagate_error(error, result.error);
  }
  return result.reply;
}

GVariant *CallSession(const InputState &state, GDBusConnection *conn, const char *path,
                      const char *method, int timeoutMs, GError **error) {
  return CallBounded(state, conn, path, kSessionInterface, method, nullptr, nullptr, timeoutMs,
                     nullptr, error);
}

// Best effort: a session this attempt created and cannot use is stopped,
// so a compositor that keeps refusing does not collect one live session per
// attempt. Its answer does not matter.
void StopAbandonedSession(const InputState &state, GDBusConnection *conn, const char *path) {
  GError *error = nullptr;
  GVariant *reply = CallSession(state, conn, path, "Stop", kStopTimeoutMs, &error);
  if (reply != nullptr) {
    g_variant_unref(reply);
  } else {
    Log_Info("sightwellInput: Could not stop abandoned session %s: %s", path,
             error != nullptr ? error->message : "unknown error");
    g_clear_error(&error);
  }
}

// Owns the path of a session this attempt created; the session is stopped
// unless Release() hands it on.
struct NewSession {
  const InputState &state;
  GDBusConnection *conn;
  char *path = nullptr;
  ~NewSession() {
    if (path != nullptr) {
      StopAbandonedSession(state, conn, path);
      g_free(path);
    }
  }
  char *Release() {
    char *p = path;
    path = nullptr;
    return p;
  }
};

}  // namespace

int RequestEisFd(InputState &state) {
  GError *error = nullptr;

  // The held connection while it is open, else the shared session bus
  // connection.
  ConnectionRef conn;
  if (state.connection != nullptr && !g_dbus_connection_is_closed(state.connection)) {
    conn.conn = G_DBUS_CONNECTION(g_object_ref(state.connection));
  } else {
    conn.conn = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (conn.conn == nullptr) {
      FailStep(state, "Failed to connect to session bus", error);
      return -1;
    }
  }

  // The previous session (one that reached EIS once) is stopped first.
  if (state.sessionPath != nullptr && state.connection != nullptr) {
    GVariant *reply =
        CallSession(state, state.connection, state.sessionPath, "Stop", kStopTimeoutMs, nullptr);
    if (reply != nullptr) {
      g_variant_unref(reply);
    }
    Log_Info("sightwellInput: Stopped previous session: %s", state.sessionPath);
    g_free(state.sessionPath);
    state.sessionPath = nullptr;
    g_object_unref(state.connection);
    state.connection = nullptr;
  }

  GVariant *reply =
      CallBounded(state, conn.conn, kRootPath, kRootInterface, "CreateSession", nullptr,
                  G_VARIANT_TYPE("(o)"), kCallTimeoutMs, nullptr, &error);
  if (reply == nullptr) {
    FailStep(state, "Failed to create session", error);
    return -1;
  }
  const char *createdPath = nullptr;
  g_variant_get(reply, "(&o)", &createdPath);
  NewSession session{state, conn.conn, g_strdup(createdPath)};
  g_variant_unref(reply);
  Log_Info("sightwellInput: Session created at path: %s", session.path);

  reply = CallSession(state, conn.conn, session.path, "Start", kCallTimeoutMs, &error);
  if (reply == nullptr) {
    FailStep(state, "Failed to start session", error);
    return -1;
  }
  g_variant_unref(reply);
  Log_Info("sightwellInput: Session started.");

  // ConnectToEIS with device-types = keyboard | pointer.
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&options, "{sv}", "device-types", g_variant_new_uint32(kDeviceTypes));
  GUnixFDList *outFds = nullptr;
  reply = CallBounded(state, conn.conn, session.path, kSessionInterface, "ConnectToEIS",
                      g_variant_new("(@a{sv})", g_variant_builder_end(&options)),
                      G_VARIANT_TYPE("(h)"), kCallTimeoutMs, &outFds, &error);
  if (reply == nullptr) {
    if (outFds != nullptr) {
      g_object_unref(outFds);
    }
    FailStep(state, "Failed to connect to EIS", error);
    return -1;
  }
  gint32 handle = -1;
  g_variant_get(reply, "(h)", &handle);
  g_variant_unref(reply);
  int fd = -1;
  if (outFds != nullptr) {
    // g_unix_fd_list_get dups the descriptor; the list keeps (and closes)
    // its own copy. An index outside the list sets an error.
    if (handle >= 0 && handle < g_unix_fd_list_get_length(outFds)) {
      fd = g_unix_fd_list_get(outFds, handle, &error);
    }
    g_object_unref(outFds);
  }
  if (fd < 0) {
    if (error == nullptr) {
      error = g_error_new(G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT,
                          "no descriptor at handle index %d", static_cast<int>(handle));
    }
    FailStep(state, "Failed to extract EIS fd", error);
    return -1;
  }

  // The session is held from here on, so one whose libei set-up fails is
  // still stopped by the next attempt.
  Log_Info("sightwellInput: Got EIS file descriptor: %d", fd);
  state.sessionPath = session.Release();
  state.connection = conn.Release();
  Log_Info("sightwellInput: Mutter EIS fd: %d", fd);
  return fd;
}

void SetUpContextLocked(InputState &state, int fd) {
  // A context left over from an earlier connection is dropped first.
  ReleaseStaleContext(state);
  state.ei = ei_new_sender(nullptr);
  if (state.ei == nullptr) {
    Log_Error("sightwellInput: Failed to instantiate libei");
    close(fd);
    return;
  }
  ei_configure_name(state.ei, "sightwell-wayland-input");
  int r = ei_setup_backend_fd(state.ei, fd);
  if (r == 0) {
    RememberEisSocket(state, fd);
    state.eisFd.store(fd, std::memory_order_release);
    // Usable from here on, whoever called Init.
    state.needsInit = false;
    Log_Info("sightwellInput: libei client connected with EIS fd %d", fd);
  } else {
    Log_Error("sightwellInput: ei_setup_backend_fd failed: %s", strerror(-r));
    ei_unref(state.ei);
    state.ei = nullptr;
    close(fd);
  }
}

void Init(void) {
  InputState &state = TheInputState();
  // The D-Bus calls run without the input lock: injections meanwhile find
  // no usable device and queue their input.
  int fd = RequestEisFd(state);
  if (fd < 0) {
    return;
  }
  std::lock_guard<std::mutex> guard(InputLock());
  SetUpContextLocked(state, fd);
}

int GetEisFd(void) {
  return TheInputState().eisFd.load(std::memory_order_acquire);
}

void SetDisconnectFd(int fd) {
  TheInputState().disconnectFd.store(fd, std::memory_order_release);
}

void SetInputStopWatch(int wakeFd, const std::atomic<bool> *stopFlag) {
  TheInputState().wakeFd.store(wakeFd, std::memory_order_release);
  TheInputState().stopFlag.store(stopFlag, std::memory_order_release);
}
