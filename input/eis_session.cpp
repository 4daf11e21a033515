// Init: a RemoteDesktop session on the session bus, its EIS descriptor and a
// libei sender context on it. GetEisFd / SetDisconnectFd.
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

GVariant *CallSession(GDBusConnection *conn, const char *path, const char *method,
                      GError **error) {
  return g_dbus_connection_call_sync(conn, kBusName, path, kSessionInterface, method, nullptr,
                                     nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, error);
}

}  // namespace

void InitLocked(InputState &state) {
  GError *error = nullptr;

  // 1. Connection: reuse the held one while it is open, else the shared
  // session bus connection.
  ConnectionRef conn;
  if (state.connection != nullptr && !g_dbus_connection_is_closed(state.connection)) {
    conn.conn = G_DBUS_CONNECTION(g_object_ref(state.connection));
  } else {
    conn.conn = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (conn.conn == nullptr) {
      FailStep(state, "Failed to connect to session bus", error);
      return;
    }
  }

  // 2. The previous session (one that reached EIS once) is stopped first.
  if (state.sessionPath != nullptr && state.connection != nullptr) {
    GVariant *reply = CallSession(state.connection, state.sessionPath, "Stop", nullptr);
    if (reply != nullptr) {
      g_variant_unref(reply);
    }
    Log_Info("sightwellInput: Stopped previous session: %s", state.sessionPath);
    g_free(state.sessionPath);
    state.sessionPath = nullptr;
    g_object_unref(state.connection);
    state.connection = nullptr;
  }

  // 3. CreateSession.
  GVariant *reply = g_dbus_connection_call_sync(
      conn.conn, kBusName, kRootPath, kRootInterface, "CreateSession", nullptr,
      G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
  if (reply == nullptr) {
    FailStep(state, "Failed to create session", error);
    return;
  }
  const char *createdPath = nullptr;
  g_variant_get(reply, "(&o)", &createdPath);
  char *sessionPath = g_strdup(createdPath);
  g_variant_unref(reply);
  Log_Info("sightwellInput: Session created at path: %s", sessionPath);

  // 4. Start.
  reply = CallSession(conn.conn, sessionPath, "Start", &error);
  if (reply == nullptr) {
    g_free(sessionPath);
    FailStep(state, "Failed to start session", error);
    return;
  }
  g_variant_unref(reply);
  Log_Info("sightwellInput: Session started.");

  // 5. ConnectToEIS with device-types = keyboard | pointer.
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&options, "{sv}", "device-types", g_variant_new_uint32(kDeviceTypes));
  GUnixFDList *outFds = nullptr;
  reply = g_dbus_connection_call_with_unix_fd_list_sync(
      conn.conn, kBusName, sessionPath, kSessionInterface, "ConnectToEIS",
      g_variant_new("(@a{sv})", g_variant_builder_end(&options)), G_VARIANT_TYPE("(h)"),
      G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &outFds, nullptr, &error);
  if (reply == nullptr) {
    g_free(sessionPath);
    FailStep(state, "Failed to connect to EIS", error);
    return;
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
    g_free(sessionPath);
    if (error == nullptr) {
      error = g_error_new(G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT,
                          "no descriptor at handle index %d", static_cast<int>(handle));
    }
    FailStep(state, "Failed to extract EIS fd", error);
    return;
  }

  // 6. The session is held from here on, so a failed libei set-up below is
  // still stopped by the next Init.
  Log_Info("sightwellInput: Got EIS file descriptor: %d", fd);
  state.sessionPath = sessionPath;
  state.connection = conn.Release();
  Log_Info("sightwellInput: Mutter EIS fd: %d", fd);

  // 7.-9. The libei sender context on the descriptor. A context left over
  // from an earlier connection is dropped first.
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
  std::lock_guard<std::mutex> guard(InputLock());
  InitLocked(TheInputState());
}

int GetEisFd(void) {
  return TheInputState().eisFd.load(std::memory_order_acquire);
}

void SetDisconnectFd(int fd) {
  TheInputState().disconnectFd.store(fd, std::memory_order_release);
}
