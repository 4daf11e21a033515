// The ScreenCast session phase: ask the compositor over the session bus to
// record the connector and wait for the PipeWire node that carries it.
#include <gio/gio.h>

#include <cstring>

#include "capture/screencast_internal.h"
#include "lib/log/log.h"

namespace {

constexpr const char kBusName[] = "org.gnome.Mutter.ScreenCast";
constexpr const char kScreenCastPath[] = "/org/gnome/Mutter/ScreenCast";
constexpr const char kScreenCastIface[] = "org.gnome.Mutter.ScreenCast";
constexpr const char kSessionIface[] = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char kStreamIface[] = "org.gnome.Mutter.ScreenCast.Stream";

// A compositor that has accepted Start announces the node within
// milliseconds; one that has not after this long is not going to.
constexpr guint kNodeWaitMs = 10000;
// Stopping an abandoned session is a courtesy to the compositor; a slow one
// must not hold up the next attempt for long.
constexpr gint kStopTimeoutMs = 1000;
// Bounds the dispatch of what is still queued on an ending attempt's
// context (it only shrinks once the subscriptions are gone).
constexpr int kDrainIterations = 64;

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
  ctx->sessionGone = true;
  QuitLoopLocked(ctx);
  CloseAttempt(ctx);
}

// The compositor's bus name lost (or changed) its owner: the compositor that
// served this attempt is gone, and its session and node with it. Nothing
// else would tell: a compositor that dies sends no Closed.
void on_compositor_owner_changed(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                                 const gchar *, GVariant *parameters, gpointer data) {
  auto *ctx = static_cast<ScreenCastContext *>(data);
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sss)"))) {
    return;
  }
  const char *name = nullptr;
  const char *oldOwner = nullptr;
  const char *newOwner = nullptr;
  g_variant_get(parameters, "(&s&s&s)", &name, &oldOwner, &newOwner);
  if (oldOwner[0] == '\0') {
    return;  // an owner appeared where there was none: not ours
  }
  Log_Warning("[%s] %s lost its owner; the compositor is gone \u2014 will retry\n", ctx->connector,
              name);
  ctx->sessionGone = true;
  QuitLoopLocked(ctx);
  CloseAttempt(ctx);
}

gboolean on_node_wait_expired(gpointer data) {
  auto *ctx = static_cast<ScreenCastContext *>(data);
  Log_Warning("[%s] no PipeWire node from the compositor within %u ms \u2014 will retry\n",
              ctx->connector, kNodeWaitMs);
  QuitLoopLocked(ctx);
  return G_SOURCE_REMOVE;
}

BusSubscription Subscribe(ScreenCastContext *ctx, const char *iface, const char *member,
                          const char *path, GDBusSignalCallback callback) {
  guint id = g_dbus_connection_signal_subscribe(ctx->connection.get(), kBusName, iface, member,
                                                path, nullptr, G_DBUS_SIGNAL_FLAGS_NONE, callback,
                                                ctx, nullptr);
  Log_Info("Subscribed to %s on %s (id=%u)\n", member, path, id);
  return BusSubscription(ctx->connection.get(), id);
}

// Returns the object path of a "(o)" reply (adopted) as a new string, or null.
char *TakeObjectPath(GVariant *reply) {
  g_autoptr(GVariant) owned = reply;
  const char *path = nullptr;
  g_variant_get(owned, "(&o)", &path);
  return path != nullptr ? g_strdup(path) : nullptr;
}

// Subscribes to the compositor's bus name changing hands, before anything is
// asked of it, so its death is noticed whatever the attempt is waiting for.
void WatchCompositor(ScreenCastContext *ctx) {
  GDBusConnection *connection = ctx->connection.get();
  ctx->ownerSubscription = BusSubscription(
      connection, g_dbus_connection_signal_subscribe(
                      connection, "org.freedesktop.DBus", "org.freedesktop.DBus",
                      "NameOwnerChanged", "/org/freedesktop/DBus", kBusName,
                      G_DBUS_SIGNAL_FLAGS_NONE, on_compositor_owner_changed, ctx, nullptr));
}

// Runs the loop until the node id, a Closed, the compositor leaving the bus,
// a stop or the node wait expiring ends it.
void WaitForNode(ScreenCastContext *ctx) {
  AttachedSource expiry(g_timeout_source_new(kNodeWaitMs));
  g_source_set_callback(expiry.get(), on_node_wait_expired, ctx, nullptr);
  g_source_attach(expiry.get(), ctx->attemptContext.get());
  // A stop requested before this point either sees the loop (and queues its
  // quit on the loop's context) or is seen here.
  if (!ctx->stopRequested.load(std::memory_order_acquire)) {
    g_main_loop_run(ctx->mainLoop);
  }
}

// Creates the session, records the connector, starts it and waits for the
// node; returns after the wait, or after a failure was logged.
void CreateRecordStart(ScreenCastContext *ctx) {
  GDBusConnection *connection = ctx->connection.get();
  GCancellable *cancellable = ctx->cancellable.get();
  g_autoptr(GError) error = nullptr;
  GVariant *reply = g_dbus_connection_call_sync(
      connection, kBusName, kScreenCastPath, kScreenCastIface, "CreateSession",
      g_variant_new("(@a{sv})", g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
      G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, -1, cancellable, &error);
  if (reply == nullptr) {
    Log_Warning("Failed to call method %s: %s\n", "CreateSession",
                error != nullptr ? error->message : "unknown error");
    Log_Info("Failed to create session\n");
    return;
  }
  g_autofree char *sessionPath = TakeObjectPath(reply);
  if (sessionPath == nullptr) {
    Log_Info("Failed to create session\n");
    return;
  }
  Log_Info("Created session path %s\n", sessionPath);
  g_strlcpy(ctx->sessionPath, sessionPath, sizeof ctx->sessionPath);

  ctx->closedSubscription =
      Subscribe(ctx, kSessionIface, "Closed", ctx->sessionPath, on_session_closed);

  if (connection == nullptr || ctx->sessionPath[0] == '\0' || ctx->connector[0] == '\0') {
    Log_Error("Invalid args for %s (conn=%p session=%s connector=%s)", "RecordMonitor",
              static_cast<void *>(connection), ctx->sessionPath, ctx->connector);
    Log_Info("Failed to start recording\n");
    return;
  }

  GVariantBuilder props;
  g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&props, "{sv}", "cursor-mode", g_variant_new_uint32(2));
  reply = g_dbus_connection_call_sync(connection, kBusName, ctx->sessionPath, kSessionIface,
                                      "RecordMonitor",
                                      g_variant_new("(sa{sv})", ctx->connector, &props),
                                      G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, -1,
                                      cancellable, &error);
  if (reply == nullptr) {
    Log_Info("%s failed: %s\n", "RecordMonitor",
             error != nullptr && error->message != nullptr ? error->message : "unknown error");
    Log_Info("Failed to start recording\n");
    return;
  }
  g_autofree char *streamPath = TakeObjectPath(reply);
  if (streamPath == nullptr) {
    Log_Info("Failed to start recording\n");
    return;
  }
  Log_Info("Recording stream path %s\n", streamPath);
  ctx->streamAddedSubscription =
      Subscribe(ctx, kStreamIface, "PipeWireStreamAdded", streamPath, on_stream_added);

  g_autoptr(GVariant) started = g_dbus_connection_call_sync(
      connection, kBusName, ctx->sessionPath, kSessionIface, "Start", nullptr, nullptr,
      G_DBUS_CALL_FLAGS_NONE, -1, cancellable, &error);
  if (started == nullptr) {
    Log_Info("Failed to start stream session: %s\n",
             error != nullptr && error->message != nullptr ? error->message : "unknown error");
    Log_Info("Failed to start session\n");
    return;
  }
  Log_Info("Session started successfully\n");
  WaitForNode(ctx);
}

// Asks the compositor to stop the attempt's session. While the agent stops,
// the request is only sent (the session dies with the connection anyway);
// otherwise its answer is awaited for a bounded time.
void StopSession(ScreenCastContext *ctx) {
  GDBusConnection *connection = ctx->connection.get();
  if (ctx->stopRequested.load(std::memory_order_acquire)) {
    g_dbus_connection_call(connection, kBusName, ctx->sessionPath, kSessionIface, "Stop", nullptr,
                           nullptr, G_DBUS_CALL_FLAGS_NONE, kStopTimeoutMs, nullptr, nullptr,
                           nullptr);
    return;
  }
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      connection, kBusName, ctx->sessionPath, kSessionIface, "Stop", nullptr, nullptr,
      G_DBUS_CALL_FLAGS_NONE, kStopTimeoutMs, ctx->cancellable.get(), &error);
  if (reply == nullptr) {
    Log_Warning("Failed to call method %s: %s\n", "Stop",
                error != nullptr ? error->message : "unknown error");
  }
}

}  // namespace

bool RunSessionPhase(ScreenCastContext *ctx) {
  ctx->nodeId = 0;
  ctx->streamClosed.exchange(0, std::memory_order_acq_rel);
  ctx->sessionPath[0] = '\0';
  ctx->sessionGone = false;

  ctx->connection.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, ctx->cancellable.get(), nullptr));
  if (!ctx->connection) {
    return false;
  }

  MainContextOwner attempt(g_main_context_new());
  g_main_context_push_thread_default(attempt.get());
  // The loop is only lent to ctx->mainLoop while the node is awaited, so
  // that other threads can quit it; it is released here.
  g_autoptr(GMainLoop) loop = g_main_loop_new(attempt.get(), FALSE);
  {
    std::lock_guard<std::mutex> guard(ctx->mainLoopLock);
    ctx->attemptContext = std::move(attempt);
    ctx->mainLoop = loop;
  }

  WatchCompositor(ctx);
  CreateRecordStart(ctx);

  {
    std::lock_guard<std::mutex> guard(ctx->mainLoopLock);
    ctx->mainLoop = nullptr;
  }

  if (ctx->nodeId == 0) {
    Log_Info("No node_id received, exiting screen cast thread\n");
    return false;
  }
  return true;
}

void EndSession(ScreenCastContext *ctx) {
  if (!ctx->attemptContext) {
    return;
  }
  if (ctx->sessionPath[0] != '\0' && !ctx->sessionGone) {
    StopSession(ctx);
  }
  ctx->streamAddedSubscription.reset();
  ctx->closedSubscription.reset();
  ctx->ownerSubscription.reset();
  // Signals that arrived but were not dispatched yet (and a stop's idle
  // quit) sit on the context holding references to it, so it would never be
  // freed. Dispatching them releases those references; the removed
  // subscriptions' handlers no longer run.
  for (int i = 0;
       i < kDrainIterations && g_main_context_iteration(ctx->attemptContext.get(), FALSE); i++) {
  }
  MainContextOwner attempt;
  {
    std::lock_guard<std::mutex> guard(ctx->mainLoopLock);
    attempt = std::move(ctx->attemptContext);
  }
  g_main_context_pop_thread_default(attempt.get());
  ctx->sessionPath[0] = '\0';
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
  // The loop's context keeps the source until it has run.
  g_autoptr(GSource) idle = g_idle_source_new();
  g_source_set_callback(idle, QuitLoopFromIdle, g_main_loop_ref(loop),
                        reinterpret_cast<GDestroyNotify>(g_main_loop_unref));
  g_source_attach(idle, g_main_loop_get_context(loop));
}

void ScreenCastRequestStop(ScreenCastContext *ctx) {
  ctx->stopRequested.store(true, std::memory_order_release);
  g_cancellable_cancel(ctx->cancellable.get());
  ScreenCastRequestQuit(ctx);
  WakeAttempt(ctx);
}

void WakeAttempt(ScreenCastContext *ctx) {
  std::lock_guard<std::mutex> guard(ctx->mainLoopLock);
  if (ctx->attemptContext) {
    g_main_context_wakeup(ctx->attemptContext.get());
  }
  ctx->stopSignal.notify_all();
}

void CloseAttempt(ScreenCastContext *ctx) {
  ctx->streamClosed.exchange(1, std::memory_order_acq_rel);
  WakeAttempt(ctx);
}
