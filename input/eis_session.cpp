// Init: a RemoteDesktop session on the session bus, its EIS descriptor and a
// libei sender context on it. GetEisFd / SetDisconnectFd.
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <libei-1.0/libei.h>

#include <cstring>
#include <string>
#include <utility>

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
void FailStep(InputState &state, const char *context, const GError *error) {
  Log_Error("sightwellInput: %s: %s", context,
            error != nullptr && error->message != nullptr ? error->message : "unknown error");
  Log_Error("sightwellInput: Failed to get EIS file descriptor");
  state.eisFd.store(-1, std::memory_order_release);
}

// What a bounded call's reply callback leaves behind, released with it
// unless the caller took it.
struct CallResult {
  GVariant *reply = nullptr;
  GUnixFDList *fds = nullptr;
  GError *error = nullptr;
  bool done = false;

  CallResult() = default;
  CallResult(const CallResult &) = delete;
  CallResult &operator=(const CallResult &) = delete;
  ~CallResult() {
    g_clear_pointer(&reply, g_variant_unref);
    g_clear_object(&fds);
    g_clear_error(&error);
  }
};

void OnCallDone(GObject *source, GAsyncResult *result, gpointer data) {
  auto *out = static_cast<CallResult *>(data);
  out->reply = g_dbus_connection_call_with_unix_fd_list_finish(G_DBUS_CONNECTION(source), &out->fds,
                                                                result, &out->error);
  out->done = true;
}

struct StopWatch {
  const StopToken *stop;
  GCancellable *cancellable;
};

gboolean OnStopPoll(gpointer data) {
  auto *watch = static_cast<StopWatch *>(data);
  if (watch->stop->IsSet()) {
    g_cancellable_cancel(watch->cancellable);
  }
  return G_SOURCE_CONTINUE;
}

// One method call that returns after at most timeoutMs, or soon after the
// agent is asked to stop. The reply comes on a main context of this call's
// own, so nothing else of the thread runs meanwhile. args is consumed when
// floating; outFds may be null.
GVariant *CallBounded(const InputState &state, GDBusConnection *conn, const char *path,
                      const char *interface, const char *method, GVariant *args,
                      const GVariantType *replyType, int timeoutMs, GUnixFDList **outFds,
                      GError **error) {
  if (state.stop.IsSet()) {
    if (args != nullptr) {
      g_variant_unref(g_variant_ref_sink(args));
    }
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_CANCELLED, "the agent is stopping");
    return nullptr;
  }
  g_autoptr(GMainContext) context = g_main_context_new();
  g_autoptr(GCancellable) cancellable = g_cancellable_new();
  StopWatch watch{&state.stop, cancellable};
  CallResult result;
  {
    AttachedSource stopPoll(g_timeout_source_new(kStopPollMs));
    g_source_set_callback(stopPoll.get(), OnStopPoll, &watch, nullptr);
    g_source_attach(stopPoll.get(), context);

    g_main_context_push_thread_default(context);
    g_dbus_connection_call_with_unix_fd_list(conn, kBusName, path, interface, method, args,
                                             replyType, G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr,
                                             cancellable, OnCallDone, &result);
    while (!result.done) {
      g_main_context_iteration(context, TRUE);
    }
    g_main_context_pop_thread_default(context);
  }

  if (outFds != nullptr) {
    *outFds = std::exchange(result.fds, nullptr);
  }
  if (result.reply == nullptr) {
    g_propagate_error(error, std::exchange(result.error, nullptr));
  }
  return std::exchange(result.reply, nullptr);
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
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = CallSession(state, conn, path, "Stop", kStopTimeoutMs, &error);
  if (reply == nullptr) {
    Log_Info("sightwellInput: Could not stop abandoned session %s: %s", path,
             error != nullptr ? error->message : "unknown error");
  }
}

// The path of a session this attempt created; the session is stopped
// unless Release() hands it on.
class NewSession {
 public:
  NewSession(const InputState &state, GDBusConnection *conn, std::string path)
      : state_(state), conn_(conn), path_(std::move(path)) {}
  ~NewSession() {
    if (!path_.empty()) {
      StopAbandonedSession(state_, conn_, path_.c_str());
    }
  }
  NewSession(const NewSession &) = delete;
  NewSession &operator=(const NewSession &) = delete;

  const char *path() const { return path_.c_str(); }
  std::string Release() { return std::exchange(path_, std::string()); }

 private:
  const InputState &state_;
  GDBusConnection *conn_;
  std::string path_;
};

// The held connection while it is open, else the shared session bus
// connection; invalid (logged) when there is none.
GRef<GDBusConnection> ConnectionForInit(InputState &state) {
  if (state.connection && !g_dbus_connection_is_closed(state.connection.get())) {
    return GRef<GDBusConnection>(G_DBUS_CONNECTION(g_object_ref(state.connection.get())));
  }
  g_autoptr(GError) error = nullptr;
  GRef<GDBusConnection> conn(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error));
  if (!conn) {
    FailStep(state, "Failed to connect to session bus", error);
  }
  return conn;
}

// The previous session (one that reached EIS once) is stopped before a new
// one is made; its answer does not matter.
void StopPreviousSession(InputState &state) {
  if (state.sessionPath.empty() || !state.connection) {
    return;
  }
  g_autoptr(GVariant) reply = CallSession(state, state.connection.get(), state.sessionPath.c_str(),
                                          "Stop", kStopTimeoutMs, nullptr);
  Log_Info("sightwellInput: Stopped previous session: %s", state.sessionPath.c_str());
  state.sessionPath.clear();
  state.connection.reset();
}

// The new session's object path, or an empty string (logged).
std::string CreateSession(InputState &state, GDBusConnection *conn) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply =
      CallBounded(state, conn, kRootPath, kRootInterface, "CreateSession", nullptr,
                  G_VARIANT_TYPE("(o)"), kCallTimeoutMs, nullptr, &error);
  if (reply == nullptr) {
    FailStep(state, "Failed to create session", error);
    return std::string();
  }
  const char *path = nullptr;
  g_variant_get(reply, "(&o)", &path);
  Log_Info("sightwellInput: Session created at path: %s", path);
  return path;
}

bool StartSession(InputState &state, GDBusConnection *conn, const char *path) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = CallSession(state, conn, path, "Start", kCallTimeoutMs, &error);
  if (reply == nullptr) {
    FailStep(state, "Failed to start session", error);
    return false;
  }
  Log_Info("sightwellInput: Session started.");
  return true;
}

// ConnectToEIS with device-types = keyboard | pointer; the descriptor the
// reply's handle names, or an invalid one (logged).
UniqueFd ConnectToEis(InputState &state, GDBusConnection *conn, const char *path) {
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&options, "{sv}", "device-types", g_variant_new_uint32(kDeviceTypes));
  g_autoptr(GError) error = nullptr;
  g_autoptr(GUnixFDList) outFds = nullptr;
  g_autoptr(GVariant) reply =
      CallBounded(state, conn, path, kSessionInterface, "ConnectToEIS",
                  g_variant_new("(@a{sv})", g_variant_builder_end(&options)),
                  G_VARIANT_TYPE("(h)"), kCallTimeoutMs, &outFds, &error);
  if (reply == nullptr) {
    FailStep(state, "Failed to connect to EIS", error);
    return UniqueFd();
  }
  gint32 handle = -1;
  g_variant_get(reply, "(h)", &handle);
  UniqueFd fd;
  // g_unix_fd_list_get dups the descriptor; the list keeps (and closes) its
  // own copy. An index outside the list sets an error.
  if (outFds != nullptr && handle >= 0 && handle < g_unix_fd_list_get_length(outFds)) {
    fd.reset(g_unix_fd_list_get(outFds, handle, &error));
  }
  if (!fd.valid()) {
    if (error == nullptr) {
      error = g_error_new(G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT,
                          "no descriptor at handle index %d", static_cast<int>(handle));
    }
    FailStep(state, "Failed to extract EIS fd", error);
  }
  return fd;
}

}  // namespace

UniqueFd RequestEisFd(InputState &state) {
  GRef<GDBusConnection> conn = ConnectionForInit(state);
  if (!conn) {
    return UniqueFd();
  }
  StopPreviousSession(state);

  std::string created = CreateSession(state, conn.get());
  if (created.empty()) {
    return UniqueFd();
  }
  NewSession session(state, conn.get(), std::move(created));
  if (!StartSession(state, conn.get(), session.path())) {
    return UniqueFd();
  }
  UniqueFd fd = ConnectToEis(state, conn.get(), session.path());
  if (!fd.valid()) {
    return fd;
  }

  // The session is held from here on, so one whose libei set-up fails is
  // still stopped by the next attempt.
  Log_Info("sightwellInput: Got EIS file descriptor: %d", fd.get());
  state.sessionPath = session.Release();
  state.connection = std::move(conn);
  Log_Info("sightwellInput: Mutter EIS fd: %d", fd.get());
  return fd;
}

void SetUpContextLocked(InputState &state, UniqueFd fd) {
  // A context left over from an earlier connection is dropped first.
  ReleaseStaleContext(state);
  state.ei.reset(ei_new_sender(nullptr));
  if (!state.ei) {
    Log_Error("sightwellInput: Failed to instantiate libei");
    return;
  }
  ei_configure_name(state.ei.get(), "sightwell-wayland-input");
  int r = ei_setup_backend_fd(state.ei.get(), fd.get());
  if (r != 0) {
    Log_Error("sightwellInput: ei_setup_backend_fd failed: %s", strerror(-r));
    // No handshake began on a refused descriptor: the context goes at once.
    state.ei.reset();
    return;
  }
  // The context owns the descriptor from here on.
  int eisFd = fd.release();
  state.ei.HandshakeStarted();
  RememberEisSocket(state, eisFd);
  state.eisFd.store(eisFd, std::memory_order_release);
  // Usable from here on, whoever called Init.
  state.needsInit = false;
  Log_Info("sightwellInput: libei client connected with EIS fd %d", eisFd);
}

void InputInjector::Init() {
  InputState &state = *state_;
  // The D-Bus calls run without the lock: injections meanwhile find no
  // usable device and queue their input.
  UniqueFd fd = RequestEisFd(state);
  if (!fd.valid()) {
    return;
  }
  std::lock_guard<std::mutex> guard(state.lock);
  SetUpContextLocked(state, std::move(fd));
}

int InputInjector::GetEisFd() const {
  return state_->eisFd.load(std::memory_order_acquire);
}

void InputInjector::SetDisconnectFd(int fd) {
  state_->disconnectFd.store(fd, std::memory_order_release);
}
