// The fake compositor's ScreenCast service: org.gnome.Mutter.ScreenCast with
// the members a capture client uses (CreateSession; a session's
// RecordMonitor, Start, Stop and Closed; a stream's PipeWireStreamAdded),
// backed by real PipeWire video source nodes, plus a control interface with
// fault switches for tests.
#include <gio/gio.h>
#include <spa/param/video/raw.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "tools/fake-compositor/fake_service.h"
#include "tools/fake-compositor/screencast_source.h"

namespace {

constexpr const char kBusName[] = "org.gnome.Mutter.ScreenCast";
constexpr const char kRootPath[] = "/org/gnome/Mutter/ScreenCast";
constexpr const char kControlPath[] = "/org/sightwell/FakeCompositor/ScreenCast";

constexpr const char kIntrospection[] = R"XML(
<node>
  <interface name='org.gnome.Mutter.ScreenCast'>
    <method name='CreateSession'>
      <arg type='a{sv}' name='properties' direction='in'/>
      <arg type='o' name='session_path' direction='out'/>
    </method>
    <property name='Version' type='i' access='read'/>
  </interface>
  <interface name='org.gnome.Mutter.ScreenCast.Session'>
    <method name='Start'/>
    <method name='Stop'/>
    <method name='RecordMonitor'>
      <arg type='s' name='connector' direction='in'/>
      <arg type='a{sv}' name='properties' direction='in'/>
      <arg type='o' name='stream_path' direction='out'/>
    </method>
    <signal name='Closed'/>
  </interface>
  <interface name='org.gnome.Mutter.ScreenCast.Stream'>
    <signal name='PipeWireStreamAdded'>
      <arg type='u' name='node_id'/>
    </signal>
  </interface>
  <interface name='org.sightwell.FakeCompositor.ScreenCast'>
    <method name='CloseSessions'/>
    <method name='DropNodes'/>
    <method name='SetCloseAfterFrames'>
      <arg type='i' name='frames' direction='in'/>
    </method>
    <method name='Resize'>
      <arg type='u' name='width' direction='in'/>
      <arg type='u' name='height' direction='in'/>
    </method>
    <method name='Damage'/>
    <method name='SetFault'>
      <arg type='s' name='name' direction='in'/>
      <arg type='b' name='enabled' direction='in'/>
    </method>
    <method name='GetStats'>
      <arg type='u' name='sessions' direction='out'/>
      <arg type='u' name='starts' direction='out'/>
      <arg type='u' name='frames' direction='out'/>
      <arg type='u' name='live' direction='out'/>
      <arg type='s' name='last_cursor_mode' direction='out'/>
    </method>
  </interface>
</node>
)XML";

// Command-line options.
int optWidth = 640;
int optHeight = 480;
char *optFormat = nullptr;
gboolean optLikeMutter = FALSE;
int optFps = 30;
int optStridePad = 0;
gboolean optMemPtr = FALSE;
int optCursorOnlyEvery = 0;
int optShapePeriod = 30;
gboolean optNoCursor = FALSE;
int optCloseAfterFrames = -1;  // -1 never; 0 Closed instead of the node id
int optCloseSessions = -1;     // close only the first N sessions (-1 all)
gboolean optRefuseRecord = FALSE;
gboolean optRefuseStart = FALSE;
gboolean optWithholdNode = FALSE;
gboolean optChunkOob = FALSE;
gboolean optShortStride = FALSE;
gboolean optShortChunk = FALSE;
gboolean optCursorOob = FALSE;
int optStopProducingAfter = -1;
int optResizeAfter = -1;
char *optResizeTo = nullptr;

GOptionEntry kEntries[] = {
    {"sc-width", 0, 0, G_OPTION_ARG_INT, &optWidth, "Stream width (640)", "N"},
    {"sc-height", 0, 0, G_OPTION_ARG_INT, &optHeight, "Stream height (480)", "N"},
    {"sc-format", 0, 0, G_OPTION_ARG_STRING, &optFormat,
     "Pixel format: BGRx (default), RGBx, RGBA, BGRA, RGB, none", "NAME"},
    {"sc-fps", 0, 0, G_OPTION_ARG_INT, &optFps, "Frames per second; 0 = only on change (30)", "N"},
    {"sc-stride-pad", 0, 0, G_OPTION_ARG_INT, &optStridePad, "Extra bytes per row", "N"},
    {"sc-memptr", 0, 0, G_OPTION_ARG_NONE, &optMemPtr, "Let PipeWire allocate the buffers", nullptr},
    {"sc-cursor-only-every", 0, 0, G_OPTION_ARG_INT, &optCursorOnlyEvery,
     "Every Nth buffer carries only the cursor (chunk size 0)", "N"},
    {"sc-shape-period", 0, 0, G_OPTION_ARG_INT, &optShapePeriod, "Frames per cursor shape (30)", "N"},
    {"sc-no-cursor", 0, 0, G_OPTION_ARG_NONE, &optNoCursor, "Attach no cursor metadata", nullptr},
    {"sc-like-mutter", 0, 0, G_OPTION_ARG_NONE, &optLikeMutter,
     "Formats BGRx/BGRA, 589872-byte cursor metadata, one cursor id, bitmap only on a shape change",
     nullptr},
    {"sc-close-after-frames", 0, 0, G_OPTION_ARG_INT, &optCloseAfterFrames,
     "Emit Closed after N frames; 0 = instead of the node id", "N"},
    {"sc-close-sessions", 0, 0, G_OPTION_ARG_INT, &optCloseSessions,
     "Apply --sc-close-after-frames to the first N sessions only", "N"},
    {"sc-refuse-record", 0, 0, G_OPTION_ARG_NONE, &optRefuseRecord, "Fail RecordMonitor", nullptr},
    {"sc-refuse-start", 0, 0, G_OPTION_ARG_NONE, &optRefuseStart, "Fail Start", nullptr},
    {"sc-withhold-node", 0, 0, G_OPTION_ARG_NONE, &optWithholdNode,
     "Never emit PipeWireStreamAdded", nullptr},
    {"sc-chunk-oob", 0, 0, G_OPTION_ARG_NONE, &optChunkOob, "Chunks outside the data block", nullptr},
    {"sc-short-stride", 0, 0, G_OPTION_ARG_NONE, &optShortStride, "Chunk stride below width * 4", nullptr},
    {"sc-short-chunk", 0, 0, G_OPTION_ARG_NONE, &optShortChunk, "Chunks shorter than their rows", nullptr},
    {"sc-cursor-oob", 0, 0, G_OPTION_ARG_NONE, &optCursorOob,
     "Cursor pixels beyond the metadata entry", nullptr},
    {"sc-stop-producing-after", 0, 0, G_OPTION_ARG_INT, &optStopProducingAfter,
     "Stop producing after N frames", "N"},
    {"sc-resize-after", 0, 0, G_OPTION_ARG_INT, &optResizeAfter, "Resize after N frames", "N"},
    {"sc-resize-to", 0, 0, G_OPTION_ARG_STRING, &optResizeTo, "New size for --sc-resize-after", "WxH"},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
};

GOptionGroup *ScreenCastOptions() {
  GOptionGroup *group = g_option_group_new("screencast", "ScreenCast options",
                                           "Show ScreenCast options", nullptr, nullptr);
  g_option_group_add_entries(group, kEntries);
  return group;
}

uint32_t FormatByName(const char *name) {
  if (name == nullptr || g_ascii_strcasecmp(name, "BGRx") == 0) return SPA_VIDEO_FORMAT_BGRx;
  if (g_ascii_strcasecmp(name, "RGBx") == 0) return SPA_VIDEO_FORMAT_RGBx;
  if (g_ascii_strcasecmp(name, "RGBA") == 0) return SPA_VIDEO_FORMAT_RGBA;
  if (g_ascii_strcasecmp(name, "BGRA") == 0) return SPA_VIDEO_FORMAT_BGRA;
  if (g_ascii_strcasecmp(name, "RGB") == 0) return SPA_VIDEO_FORMAT_RGB;
  if (g_ascii_strcasecmp(name, "none") == 0) return 0;
  return SPA_VIDEO_FORMAT_BGRx;
}

struct Session {
  uint32_t id = 0;
  std::string owner;
  std::string path;
  std::string streamPath;
  std::string connector;
  guint sessionReg = 0;
  guint streamReg = 0;
  guint ownerWatch = 0;
  bool started = false;
  int closeAfterFrames = -1;
  std::atomic<uint32_t> frames{0};
  std::unique_ptr<fakesc::VideoSource> source;
};

struct State {
  GDBusConnection *bus = nullptr;
  GDBusNodeInfo *info = nullptr;
  guint rootReg = 0;
  guint controlReg = 0;
  bool ownsName = false;
  uint32_t nextId = 1;
  uint32_t sessionsCreated = 0;
  uint32_t starts = 0;
  std::atomic<uint32_t> framesTotal{0};
  int closeAfterFrames = -1;
  std::string lastCursorMode;
  std::map<uint32_t, std::unique_ptr<Session>> sessions;
};

State *gState = nullptr;

Session *FindSession(uint32_t id) {
  auto it = gState->sessions.find(id);
  return it == gState->sessions.end() ? nullptr : it->second.get();
}

// Ends a session: Closed on its path (when asked), then its node goes away.
void CloseSession(uint32_t id, bool emitClosed) {
  Session *s = FindSession(id);
  if (s == nullptr) {
    return;
  }
  if (emitClosed) {
    g_dbus_connection_emit_signal(gState->bus, s->owner.c_str(), s->path.c_str(),
                                  "org.gnome.Mutter.ScreenCast.Session", "Closed", nullptr,
                                  nullptr);
    g_dbus_connection_flush_sync(gState->bus, nullptr, nullptr);
  }
  s->source.reset();
  if (s->sessionReg != 0) g_dbus_connection_unregister_object(gState->bus, s->sessionReg);
  if (s->streamReg != 0) g_dbus_connection_unregister_object(gState->bus, s->streamReg);
  if (s->ownerWatch != 0) g_bus_unwatch_name(s->ownerWatch);
  gState->sessions.erase(id);
}

// Work handed from the PipeWire thread to the main loop, by session id.
struct MainWork {
  uint32_t session;
  enum { kNodeId, kClose, kResize, kStopProducing } what;
  uint32_t value;
};

gboolean RunMainWork(gpointer data) {
  std::unique_ptr<MainWork> work(static_cast<MainWork *>(data));
  if (gState == nullptr) {
    return G_SOURCE_REMOVE;
  }
  Session *s = FindSession(work->session);
  if (s == nullptr) {
    return G_SOURCE_REMOVE;
  }
  switch (work->what) {
    case MainWork::kNodeId:
      if (s->closeAfterFrames == 0) {
        CloseSession(s->id, true);
        break;
      }
      if (optWithholdNode) {
        break;
      }
      printf("fake-compositor: screencast node %u\n", work->value);
      fflush(stdout);
      g_dbus_connection_emit_signal(gState->bus, s->owner.c_str(), s->streamPath.c_str(),
                                    "org.gnome.Mutter.ScreenCast.Stream", "PipeWireStreamAdded",
                                    g_variant_new("(u)", work->value), nullptr);
      break;
    case MainWork::kClose:
      CloseSession(s->id, true);
      break;
    case MainWork::kResize: {
      unsigned w = 0, h = 0;
      if (optResizeTo != nullptr && sscanf(optResizeTo, "%ux%u", &w, &h) == 2 && s->source) {
        s->source->Resize(w, h);
      }
      break;
    }
    case MainWork::kStopProducing:
      fakesc::SourceFaults().stopProducing.store(true);
      break;
  }
  return G_SOURCE_REMOVE;
}

void PostMainWork(uint32_t session, decltype(MainWork::what) what, uint32_t value) {
  g_main_context_invoke(nullptr, RunMainWork, new MainWork{session, what, value});
}

// The PipeWire daemon went away: like the compositor, close every session
// that streams (its node is gone) and connect afresh for the next one.
gboolean OnPipeWireLost(gpointer) {
  if (gState == nullptr) {
    return G_SOURCE_REMOVE;
  }
  fprintf(stderr, "fake-compositor: PipeWire connection lost\n");
  std::vector<uint32_t> ids;
  for (auto &entry : gState->sessions) {
    if (entry.second->source) ids.push_back(entry.first);
  }
  for (uint32_t id : ids) CloseSession(id, true);
  fakesc::ShutdownPipeWire();
  return G_SOURCE_REMOVE;
}

void OnOwnerVanished(GDBusConnection *, const gchar *name, gpointer) {
  // A session belongs to the connection that created it and dies with it.
  std::vector<uint32_t> ids;
  for (auto &entry : gState->sessions) {
    if (entry.second->owner == name) ids.push_back(entry.first);
  }
  for (uint32_t id : ids) CloseSession(id, false);
}

void StartSession(Session *s) {
  fakesc::SourceOptions options;
  options.width = static_cast<uint32_t>(optWidth);
  options.height = static_cast<uint32_t>(optHeight);
  options.format = FormatByName(optFormat);
  options.fps = optFps > 0 ? static_cast<uint32_t>(optFps) : 0;
  options.stridePad = optStridePad > 0 ? static_cast<uint32_t>(optStridePad) : 0;
  options.memPtr = optMemPtr;
  options.cursorOnlyEvery = optCursorOnlyEvery > 0 ? static_cast<uint32_t>(optCursorOnlyEvery) : 0;
  options.shapePeriod = optShapePeriod > 0 ? static_cast<uint32_t>(optShapePeriod) : 30;
  options.cursor = !optNoCursor;
  options.likeMutter = optLikeMutter;
  const uint32_t id = s->id;
  const int closeAfter = s->closeAfterFrames;
  s->source = std::make_unique<fakesc::VideoSource>(
      options, [id](uint32_t nodeId) { PostMainWork(id, MainWork::kNodeId, nodeId); },
      [id, closeAfter, s](uint32_t counter) {
        // PipeWire thread; the session outlives its source.
        s->frames.fetch_add(1);
        gState->framesTotal.fetch_add(1);
        const uint32_t produced = counter + 1;
        if (closeAfter > 0 && produced == static_cast<uint32_t>(closeAfter)) {
          PostMainWork(id, MainWork::kClose, 0);
        }
        if (optResizeAfter > 0 && produced == static_cast<uint32_t>(optResizeAfter)) {
          PostMainWork(id, MainWork::kResize, 0);
        }
        if (optStopProducingAfter >= 0 && produced == static_cast<uint32_t>(optStopProducingAfter)) {
          PostMainWork(id, MainWork::kStopProducing, 0);
        }
      });
}

void SessionMethod(GDBusConnection *, const gchar *sender, const gchar *, const gchar *,
                   const gchar *method, GVariant *params, GDBusMethodInvocation *invocation,
                   gpointer data) {
  const uint32_t id = GPOINTER_TO_UINT(data);
  Session *s = FindSession(id);
  if (s == nullptr || s->owner != sender) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_ACCESS_DENIED,
                                          "Session not owned by caller");
    return;
  }
  if (g_strcmp0(method, "RecordMonitor") == 0) {
    const char *connector = nullptr;
    GVariant *props = nullptr;
    g_variant_get(params, "(&s@a{sv})", &connector, &props);
    guint32 mode = 0;
    if (g_variant_lookup(props, "cursor-mode", "u", &mode)) {
      gState->lastCursorMode = std::to_string(mode);
    } else {
      gState->lastCursorMode = "unset";
    }
    g_variant_unref(props);
    if (optRefuseRecord || connector[0] == '\0' || !s->streamPath.empty()) {
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_FAILED,
                                            "Unknown monitor");
      return;
    }
    s->connector = connector;
    s->streamPath = "/org/gnome/Mutter/ScreenCast/Stream/u" + std::to_string(s->id);
    GError *error = nullptr;
    s->streamReg = g_dbus_connection_register_object(
        gState->bus, s->streamPath.c_str(), gState->info->interfaces[2], nullptr, nullptr,
        nullptr, &error);
    if (s->streamReg == 0) {
      g_dbus_method_invocation_take_error(invocation, error);
      return;
    }
    g_dbus_method_invocation_return_value(invocation,
                                          g_variant_new("(o)", s->streamPath.c_str()));
  } else if (g_strcmp0(method, "Start") == 0) {
    gState->starts++;
    if (optRefuseStart || s->started || s->streamPath.empty()) {
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_FAILED,
                                            "Failed to start");
      return;
    }
    s->started = true;
    StartSession(s);
    if (!s->source->ok()) {
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_FAILED,
                                            "No PipeWire");
      return;
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (g_strcmp0(method, "Stop") == 0) {
    g_dbus_method_invocation_return_value(invocation, nullptr);
    CloseSession(id, true);
  }
}

const GDBusInterfaceVTable kSessionVTable = {SessionMethod, nullptr, nullptr, {}};

void RootMethod(GDBusConnection *, const gchar *sender, const gchar *, const gchar *,
                const gchar *method, GVariant *, GDBusMethodInvocation *invocation, gpointer) {
  if (g_strcmp0(method, "CreateSession") != 0) {
    return;
  }
  auto s = std::make_unique<Session>();
  s->id = gState->nextId++;
  s->owner = sender;
  s->path = "/org/gnome/Mutter/ScreenCast/Session/u" + std::to_string(s->id);
  const bool closes = optCloseSessions < 0 || gState->sessionsCreated < static_cast<uint32_t>(optCloseSessions);
  s->closeAfterFrames = closes ? gState->closeAfterFrames : -1;
  gState->sessionsCreated++;
  GError *error = nullptr;
  s->sessionReg = g_dbus_connection_register_object(
      gState->bus, s->path.c_str(), gState->info->interfaces[1], &kSessionVTable,
      GUINT_TO_POINTER(s->id), nullptr, &error);
  if (s->sessionReg == 0) {
    g_dbus_method_invocation_take_error(invocation, error);
    return;
  }
  s->ownerWatch = g_bus_watch_name_on_connection(gState->bus, sender, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                                 nullptr, OnOwnerVanished, nullptr, nullptr);
  const std::string path = s->path;
  gState->sessions[s->id] = std::move(s);
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", path.c_str()));
}

GVariant *RootProperty(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                       const gchar *property, GError **, gpointer) {
  if (g_strcmp0(property, "Version") == 0) {
    return g_variant_new_int32(4);
  }
  return nullptr;
}

const GDBusInterfaceVTable kRootVTable = {RootMethod, RootProperty, nullptr, {}};

bool SetFault(const char *name, bool on) {
  fakesc::Faults &f = fakesc::SourceFaults();
  if (g_strcmp0(name, "chunk-oob") == 0) f.chunkOutOfBounds.store(on);
  else if (g_strcmp0(name, "short-stride") == 0) f.shortStride.store(on);
  else if (g_strcmp0(name, "short-chunk") == 0) f.shortChunk.store(on);
  else if (g_strcmp0(name, "cursor-oob") == 0) f.cursorOutOfBounds.store(on);
  else if (g_strcmp0(name, "stop-producing") == 0) f.stopProducing.store(on);
  else if (g_strcmp0(name, "refuse-record") == 0) optRefuseRecord = on;
  else if (g_strcmp0(name, "refuse-start") == 0) optRefuseStart = on;
  else return false;
  return true;
}

void ControlMethod(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                   const gchar *method, GVariant *params, GDBusMethodInvocation *invocation,
                   gpointer) {
  if (g_strcmp0(method, "CloseSessions") == 0) {
    std::vector<uint32_t> ids;
    for (auto &entry : gState->sessions) ids.push_back(entry.first);
    for (uint32_t id : ids) CloseSession(id, true);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (g_strcmp0(method, "DropNodes") == 0) {
    // Every stream's node goes away while its session stays and nothing is
    // said on the bus: a producer that vanishes without Closed.
    for (auto &entry : gState->sessions) entry.second->source.reset();
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (g_strcmp0(method, "SetCloseAfterFrames") == 0) {
    gint32 frames = -1;
    g_variant_get(params, "(i)", &frames);
    gState->closeAfterFrames = frames;
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (g_strcmp0(method, "Resize") == 0) {
    guint32 w = 0, h = 0;
    g_variant_get(params, "(uu)", &w, &h);
    for (auto &entry : gState->sessions) {
      if (entry.second->source) entry.second->source->Resize(w, h);
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (g_strcmp0(method, "Damage") == 0) {
    for (auto &entry : gState->sessions) {
      if (entry.second->source) entry.second->source->Damage();
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (g_strcmp0(method, "SetFault") == 0) {
    const char *name = nullptr;
    gboolean on = FALSE;
    g_variant_get(params, "(&sb)", &name, &on);
    if (!SetFault(name, on)) {
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                            "Unknown fault %s", name);
      return;
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (g_strcmp0(method, "GetStats") == 0) {
    uint32_t live = 0;
    for (auto &entry : gState->sessions) {
      if (entry.second->source) live++;
    }
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(uuuus)", gState->sessionsCreated, gState->starts,
                                  gState->framesTotal.load(), live,
                                  gState->lastCursorMode.c_str()));
  }
}

const GDBusInterfaceVTable kControlVTable = {ControlMethod, nullptr, nullptr, {}};

bool StartScreenCast(GDBusConnection *bus) {
  gState = new State();
  gState->bus = bus;
  gState->closeAfterFrames = optCloseAfterFrames;
  fakesc::Faults &f = fakesc::SourceFaults();
  f.chunkOutOfBounds.store(optChunkOob);
  f.shortStride.store(optShortStride);
  f.shortChunk.store(optShortChunk);
  f.cursorOutOfBounds.store(optCursorOob);
  GError *error = nullptr;
  gState->info = g_dbus_node_info_new_for_xml(kIntrospection, &error);
  if (gState->info == nullptr) {
    fprintf(stderr, "fake-compositor: screencast introspection: %s\n", error->message);
    g_error_free(error);
    return false;
  }
  gState->rootReg = g_dbus_connection_register_object(bus, kRootPath, gState->info->interfaces[0],
                                                      &kRootVTable, nullptr, nullptr, &error);
  if (gState->rootReg != 0) {
    gState->controlReg = g_dbus_connection_register_object(
        bus, kControlPath, gState->info->interfaces[3], &kControlVTable, nullptr, nullptr, &error);
  }
  if (gState->rootReg == 0 || gState->controlReg == 0) {
    fprintf(stderr, "fake-compositor: screencast objects: %s\n", error->message);
    g_error_free(error);
    return false;
  }
  fakesc::SetPipeWireLostHandler(
      [] { g_main_context_invoke(nullptr, OnPipeWireLost, nullptr); });
  gState->ownsName = FakeRequestBusName(bus, kBusName);
  return gState->ownsName;
}

void StopScreenCast() {
  if (gState == nullptr) {
    return;
  }
  std::vector<uint32_t> ids;
  for (auto &entry : gState->sessions) ids.push_back(entry.first);
  for (uint32_t id : ids) CloseSession(id, false);
  fakesc::ShutdownPipeWire();
  if (gState->rootReg != 0) g_dbus_connection_unregister_object(gState->bus, gState->rootReg);
  if (gState->controlReg != 0) g_dbus_connection_unregister_object(gState->bus, gState->controlReg);
  if (gState->info != nullptr) g_dbus_node_info_unref(gState->info);
  delete gState;
  gState = nullptr;
}

const FakeService kScreenCastService = {"screencast", ScreenCastOptions, StartScreenCast,
                                        StopScreenCast};
FAKE_REGISTER_SERVICE(kScreenCastService);

}  // namespace
