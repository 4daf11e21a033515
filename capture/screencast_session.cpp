// The ScreenCast session phase: ask the compositor over the session bus to
// record the connector and wait for the PipeWire node that carries it.
#include <gio/gio.h>

#include <cstring>

#include "capture/screencast_context.h"
#include "capture/screencast_internal.h"
#include "lib/log/log.h"

namespace {

constexpr const char kBusName[] = "org.gnome.Mutter.ScreenCast";
constexpr const char kScreenCastPath[] = "/org/gnome/Mutter/ScreenCast";
constexpr const char kScreenCastIface[] = "org.gnome.Mutter.ScreenCast";
constexpr const char kSessionIface[] = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char kStreamIface[] = "org.gnome.Mutter.ScreenCast.Stream";

void QuitLoopLocked(ScreenCastContext *ctx) {
  std::lock_guard<std::mutex> guard(ctx->mainLoopLock);
  if (ctx->mainLoop != nullptr) {
    g_main_loop_quit(ctx->mainLoop);
  }
}

void on_stream_added(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                     const gchar *, GVariant *parameters, gpointer data) {
  auto *ctx = static_cast<ScreenCastContext *>(data);
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(u)"))) {
    return;
  }
  g_variant_get(parameters, "(u)", &ctx->nodeId);
  Log_Info("PipeWire stream added! node_id = %u\n", ctx->nodeId);
  QuitLoopLocked(ctx);
}

void on_session_closed(GDBusConnection *, const gchar *, const gchar *objectPath,
                       const gchar *, const gchar *signalName, GVariant *, gpointer data) {
  auto *ctx = static_cast<ScreenCastContext *>(data);
  if (signalName == nullptr || strncmp(signalName, "Closed", 6) != 0) {
    return;
  }
  Log_Warning("Received %s for object=%s; Mutter closed the ScreenCast session\n",
              signalName, objectPath != nullptr ? objectPath : "<null>");
  QuitLoopLocked(ctx);
  ctx->streamClosed.exchange(1, std::memory_order_acq_rel);
}

guint Subscribe(ScreenCastContext *ctx, const char *iface, const char *member,
                const char *path, GDBusSignalCallback callback) {
  guint id = g_dbus_connection_signal_subscribe(ctx->connection, kBusName, iface, member, path,
                                                nullptr, G_DBUS_SIGNAL_FLAGS_NONE, callback,
                                                ctx, nullptr);
  Log_Info("Subscribed to %s on %s (id=%u)\n", member, path, id);
  return id;
}

// Returns the object path of a "(o)" reply as a new string, or null.
char *TakeObjectPath(GVariant *reply) {
  const char *path = nullptr;
  g_variant_get(reply, "(&o)", &path);
  char *copy = path != nullptr ? g_strdup(path) : nullptr;
  g_variant_unref(reply);
  return copy;
}

// Steps 4 to 11; returns with the loop run, or after a failure was logged.
void CreateRecordStart(ScreenCastContext *ctx) {
  GError *error = nullptr;
  GVariant *reply = g_dbus_connection_call_sync(
      ctx->connection, kBusName, kScreenCastPath, kScreenCastIface, "CreateSession",
      g_variant_new("(@a{sv})", g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
      G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
  if (reply == nullptr) {
    Log_Warning("Failed to call method %s: %s\n", "CreateSession",
                error != nullptr ? error->message : "unknown error");
    g_clear_error(&error);
    Log_Info("Failed to create session\n");
    return;
  }
  char *sessionPath = TakeObjectPath(reply);
  if (sessionPath == nullptr) {
    Log_Info("Failed to create session\n");
    return;
  }
  Log_Info("Created session path %s\n", sessionPath);
  g_strlcpy(ctx->sessionPath, sessionPath, sizeof ctx->sessionPath);
  g_free(sessionPath);

  Subscribe(ctx, kSessionIface, "Closed", ctx->sessionPath, on_session_closed);

  if (ctx->connection == nullptr || ctx->sessionPath[0] == '\0' || ctx->connector[0] == '\0') {
    Log_Error("Invalid args for %s (conn=%p session=%s connector=%s)", "RecordMonitor",
              static_cast<void *>(ctx->connection), ctx->sessionPath, ctx->connector);
    Log_Info("Failed to start recording\n");
    return;
  }

  GVariantBuilder props;
  g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&props, "{sv}", "cursor-mode", g_variant_new_uint32(2));
  reply = g_dbus_connection_call_sync(ctx->connection, kBusName, ctx->sessionPath, kSessionIface,
                                      "RecordMonitor",
                                      g_variant_new("(sa{sv})", ctx->connector, &props),
                                      G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                                      &error);
  if (reply == nullptr) {
    Log_Info("%s failed: %s\n", "RecordMonitor",
             error != nullptr && error->message != nullptr ? error->message : "unknown error");
    g_clear_error(&error);
    Log_Info("Failed to start recording\n");
    return;
  }
  char *streamPath = TakeObjectPath(reply);
  if (streamPath == nullptr) {
    Log_Info("Failed to start recording\n");
    return;
  }
  Log_Info("Recording stream path %s\n", streamPath);
  Subscribe(ctx, kStreamIface, "PipeWireStreamAdded", streamPath, on_stream_added);

  reply = g_dbus_connection_call_sync(ctx->connection, kBusName, ctx->sessionPath, kSessionIface,
                                      "Start", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, -1,
                                      nullptr, &error);
  if (reply == nullptr) {
    Log_Info("Failed to start stream session: %s\n",
             error != nullptr && error->message != nullptr ? error->message : "unknown error");
    g_clear_error(&error);
    Log_Info("Failed to start session\n");
    g_free(streamPath);
    return;
  }
  g_variant_unref(reply);
  Log_Info("Session started successfully\n");

  // A stop requested before this point either sees the loop (and queues its
  // quit on the loop's context) or is seen here.
  if (!ctx->stopRequested.load(std::memory_order_acquire)) {
    g_main_loop_run(ctx->mainLoop);
  }
  g_free(streamPath);
}

}  // namespace

GMainContext *RunSessionPhase(ScreenCastContext *ctx) {
  ctx->nodeId = 0;
  ctx->streamClosed.exchange(0, std::memory_order_acq_rel);

  ctx->connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (ctx->connection == nullptr) {
    return nullptr;
  }

  GMainContext *mainContext = g_main_context_new();
  g_main_context_push_thread_default(mainContext);
  {
    std::lock_guard<std::mutex> guard(ctx->mainLoopLock);
    ctx->mainLoop = g_main_loop_new(mainContext, FALSE);
  }

  CreateRecordStart(ctx);

  GMainLoop *loop;
  {
    std::lock_guard<std::mutex> guard(ctx->mainLoopLock);
    loop = ctx->mainLoop;
    ctx->mainLoop = nullptr;
  }
  g_main_loop_unref(loop);

  if (ctx->nodeId == 0) {
    Log_Info("No node_id received, exiting screen cast thread\n");
    g_main_context_pop_thread_default(mainContext);
    g_main_context_unref(mainContext);
    return nullptr;
  }
  return mainContext;
}

namespace {

gboolean QuitLoopFromIdle(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop *>(loop));
  return G_SOURCE_REMOVE;
}

}  // namespace

void ScreenCastRequestQuit(ScreenCastContext *ctx) {
  std::lock_guard<std::mutex> guard(ctx->mainLoopLock);
  GMainLoop *loop = ctx->mainLoop;
  if (loop == nullptr) {
    return;
  }
  g_main_loop_quit(loop);
  // A quit that comes before g_main_loop_run starts is forgotten by GLib; an
  // idle source on the loop's own context quits it again once it runs.
  GSource *idle = g_idle_source_new();
  g_source_set_callback(idle, QuitLoopFromIdle, g_main_loop_ref(loop),
                        reinterpret_cast<GDestroyNotify>(g_main_loop_unref));
  g_source_attach(idle, g_main_loop_get_context(loop));
  g_source_unref(idle);
}

void ScreenCastRequestStop(ScreenCastContext *ctx) {
  ctx->stopRequested.store(true, std::memory_order_release);
  ScreenCastRequestQuit(ctx);
}
