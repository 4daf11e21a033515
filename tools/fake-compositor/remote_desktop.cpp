// org.gnome.Mutter.RemoteDesktop for the fake compositor: CreateSession,
// Session.Start/Stop/ConnectToEIS (a libeis client descriptor through the fd
// list), and a control interface for tests on the same bus name:
//
//   object /org/sightwell/FakeCompositor/Input,
//   interface org.sightwell.FakeCompositor.Input:
//     DisconnectClients()            drop every EIS client now
//     DisconnectAfter(u events)      drop each client after N more input events
//     SetRefuseConnectToEIS(b)       ConnectToEIS fails while set
//     SetStallConnectToEIS(u ms)     ConnectToEIS answers only after ms
//                                    (0 = at once again)
//     StallEis(u ms)                 the EIS server reads nothing for ms,
//                                    so its clients' sockets fill up
//     PauseDevices() / ResumeDevices()
//     RemoveDevice(s kind) -> (b)    "keyboard", "absolute", "pointer", "touch"
//     AddSeat(s name)                another seat for every connected client
//     GetCounts() -> (uuuut)         sessions created, started, stopped,
//                                    connected EIS clients, input events
//                                    (live sessions: created - stopped)
//
// A session belongs to the bus connection that created it and is stopped
// when that connection goes away, as the real compositor does.
#include <gio/gio.h>
#include <gio/gunixfdlist.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "tools/fake-compositor/eis_recorder.h"
#include "tools/fake-compositor/eis_server.h"
#include "tools/fake-compositor/fake_service.h"

namespace {

constexpr const char kBusName[] = "org.gnome.Mutter.RemoteDesktop";
constexpr const char kRootPath[] = "/org/gnome/Mutter/RemoteDesktop";
constexpr const char kSessionPathPrefix[] = "/org/gnome/Mutter/RemoteDesktop/Session/u";
constexpr const char kControlPath[] = "/org/sightwell/FakeCompositor/Input";

constexpr const char kIntrospection[] =
    "<node>"
    " <interface name='org.gnome.Mutter.RemoteDesktop'>"
    "  <method name='CreateSession'><arg type='o' name='session_path' direction='out'/></method>"
    "  <property name='SupportedDeviceTypes' type='u' access='read'/>"
    "  <property name='Version' type='i' access='read'/>"
    " </interface>"
    " <interface name='org.gnome.Mutter.RemoteDesktop.Session'>"
    "  <method name='Start'/>"
    "  <method name='Stop'/>"
    "  <method name='ConnectToEIS'>"
    "   <arg type='a{sv}' name='options' direction='in'/>"
    "   <arg type='h' name='fd' direction='out'/>"
    "  </method>"
    "  <signal name='Closed'/>"
    "  <property name='SessionId' type='s' access='read'/>"
    " </interface>"
    " <interface name='org.sightwell.FakeCompositor.Input'>"
    "  <method name='DisconnectClients'/>"
    "  <method name='DisconnectAfter'><arg type='u' name='events' direction='in'/></method>"
    "  <method name='SetRefuseConnectToEIS'><arg type='b' name='refuse' direction='in'/></method>"
    "  <method name='SetStallConnectToEIS'><arg type='u' name='ms' direction='in'/></method>"
    "  <method name='StallEis'><arg type='u' name='ms' direction='in'/></method>"
    "  <method name='PauseDevices'/>"
    "  <method name='ResumeDevices'/>"
    "  <method name='RemoveDevice'>"
    "   <arg type='s' name='kind' direction='in'/><arg type='b' name='removed' direction='out'/>"
    "  </method>"
    "  <method name='AddSeat'><arg type='s' name='name' direction='in'/></method>"
    "  <method name='GetCounts'>"
    "   <arg type='u' name='created' direction='out'/><arg type='u' name='started' direction='out'/>"
    "   <arg type='u' name='stopped' direction='out'/><arg type='u' name='clients' direction='out'/>"
    "   <arg type='t' name='events' direction='out'/>"
    "  </method>"
    " </interface>"
    "</node>";

struct Session {
  std::string path;
  std::string id;
  std::string owner;  // unique bus name of the creator
  guint registration = 0;
  guint ownerWatch = 0;
  bool started = false;
};

// Command-line settings.
gchar *optEventsFile = nullptr;
gint optWidth = 1280;
gint optHeight = 720;
gboolean optRelativePointer = FALSE;
gboolean optTouch = FALSE;
gboolean optKeymap = FALSE;
gboolean optSecondSeat = FALSE;
gint optDisconnectAfter = 0;
gboolean optRefuseEis = FALSE;
gint optRefuseEisCount = 0;
gboolean optDisabled = FALSE;

struct Service {
  GDBusConnection *bus = nullptr;
  GDBusNodeInfo *introspection = nullptr;
  guint rootRegistration = 0;
  guint controlRegistration = 0;
  bool ownsName = false;
  std::map<std::string, std::unique_ptr<Session>> sessions;
  uint32_t nextSession = 1;
  uint32_t created = 0;
  uint32_t started = 0;
  uint32_t stopped = 0;
  bool refuseEis = false;
  int refuseEisCount = 0;  // the first N ConnectToEIS calls fail
  guint stallEisMs = 0;    // ConnectToEIS answers this late
};

Service *service = nullptr;

GDBusInterfaceInfo *Interface(const char *name) {
  return g_dbus_node_info_lookup_interface(service->introspection, name);
}

void StopSession(std::string path, bool emitClosed) {
  // By value: callers pass the map's own key, which is erased below.
  auto it = service->sessions.find(path);
  if (it == service->sessions.end()) {
    return;
  }
  std::unique_ptr<Session> session = std::move(it->second);
  service->sessions.erase(it);
  service->stopped++;
  EisRecord("rd-stop %s", path.c_str());
  EisServerDisconnectSession(path);
  if (emitClosed) {
    g_dbus_connection_emit_signal(service->bus, session->owner.c_str(), path.c_str(),
                                  "org.gnome.Mutter.RemoteDesktop.Session", "Closed", nullptr,
                                  nullptr);
  }
  g_dbus_connection_unregister_object(service->bus, session->registration);
  if (session->ownerWatch != 0) {
    g_bus_unwatch_name(session->ownerWatch);
  }
}

void OnOwnerVanished(GDBusConnection *, const gchar *, gpointer data) {
  // The watch is removed inside StopSession; copy the path first.
  std::string path = static_cast<const char *>(data);
  StopSession(path, false);
}

void AnswerConnectToEis(Session &session, GDBusMethodInvocation *invocation);

// A stalled ConnectToEIS: answered once the stall is over, if the session
// still exists by then. The invocation holds its own reference.
struct StalledCall {
  std::string path;
  GDBusMethodInvocation *invocation;
};

gboolean OnStallOver(gpointer data) {
  std::unique_ptr<StalledCall> call(static_cast<StalledCall *>(data));
  Session *session = nullptr;
  if (service != nullptr) {
    auto it = service->sessions.find(call->path);
    session = it != service->sessions.end() ? it->second.get() : nullptr;
  }
  if (session != nullptr) {
    AnswerConnectToEis(*session, call->invocation);
  } else {
    g_dbus_method_invocation_return_dbus_error(call->invocation,
                                               "org.freedesktop.DBus.Error.UnknownObject",
                                               "session stopped while stalled");
  }
  return G_SOURCE_REMOVE;
}

void ConnectToEis(Session &session, GDBusMethodInvocation *invocation) {
  if (service->stallEisMs > 0) {
    EisRecord("rd-connect-eis-stalled %s", session.path.c_str());
    g_timeout_add(service->stallEisMs, OnStallOver, new StalledCall{session.path, invocation});
    return;
  }
  AnswerConnectToEis(session, invocation);
}

void AnswerConnectToEis(Session &session, GDBusMethodInvocation *invocation) {
  if (service->refuseEis || service->refuseEisCount > 0) {
    if (service->refuseEisCount > 0) {
      service->refuseEisCount--;
    }
    EisRecord("rd-connect-eis-refused %s", session.path.c_str());
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.AccessDenied",
                                               "ConnectToEIS refused by the test switch");
    return;
  }
  int fd = EisServerAddClient(session.path);
  if (fd < 0) {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed",
                                               "no EIS client descriptor");
    return;
  }
  EisRecord("rd-connect-eis %s %d", session.path.c_str(), fd);
  GUnixFDList *fds = g_unix_fd_list_new_from_array(&fd, 1);  // takes fd
  g_dbus_method_invocation_return_value_with_unix_fd_list(invocation, g_variant_new("(h)", 0), fds);
  g_object_unref(fds);
}

void OnSessionCall(GDBusConnection *, const gchar *sender, const gchar *path, const gchar *,
                   const gchar *method, GVariant *, GDBusMethodInvocation *invocation, gpointer) {
  auto it = service->sessions.find(path);
  if (it == service->sessions.end()) {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.UnknownObject",
                                               "no such session");
    return;
  }
  Session &session = *it->second;
  if (session.owner != sender) {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.AccessDenied",
                                               "session belongs to another connection");
    return;
  }
  if (g_strcmp0(method, "Start") == 0) {
    if (session.started) {
      g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed",
                                                 "already started");
      return;
    }
    session.started = true;
    service->started++;
    EisRecord("rd-start %s", path);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (g_strcmp0(method, "Stop") == 0) {
    g_dbus_method_invocation_return_value(invocation, nullptr);
    StopSession(path, true);
  } else if (g_strcmp0(method, "ConnectToEIS") == 0) {
    ConnectToEis(session, invocation);
  } else {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.UnknownMethod",
                                               method);
  }
}

GVariant *OnSessionProperty(GDBusConnection *, const gchar *, const gchar *path, const gchar *,
                            const gchar *property, GError **error, gpointer) {
  auto it = service->sessions.find(path);
  if (it != service->sessions.end() && g_strcmp0(property, "SessionId") == 0) {
    return g_variant_new_string(it->second->id.c_str());
  }
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", property);
  return nullptr;
}

const GDBusInterfaceVTable kSessionVTable = {OnSessionCall, OnSessionProperty, nullptr, {}};

void OnRootCall(GDBusConnection *, const gchar *sender, const gchar *, const gchar *,
                const gchar *method, GVariant *, GDBusMethodInvocation *invocation, gpointer) {
  if (g_strcmp0(method, "CreateSession") != 0) {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.UnknownMethod",
                                               method);
    return;
  }
  auto session = std::make_unique<Session>();
  uint32_t n = service->nextSession++;
  session->path = kSessionPathPrefix + std::to_string(n);
  session->id = "fake-rd-" + std::to_string(n);
  session->owner = sender;
  GError *error = nullptr;
  session->registration = g_dbus_connection_register_object(
      service->bus, session->path.c_str(), Interface("org.gnome.Mutter.RemoteDesktop.Session"),
      &kSessionVTable, nullptr, nullptr, &error);
  if (session->registration == 0) {
    g_dbus_method_invocation_return_gerror(invocation, error);
    g_error_free(error);
    return;
  }
  // The path string lives as long as the session (the watch ends first).
  session->ownerWatch = g_bus_watch_name_on_connection(
      service->bus, sender, G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr, OnOwnerVanished,
      const_cast<char *>(session->path.c_str()), nullptr);
  service->created++;
  EisRecord("rd-create %s %s", session->path.c_str(), sender);
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", session->path.c_str()));
  service->sessions.emplace(session->path, std::move(session));
}

GVariant *OnRootProperty(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                         const gchar *property, GError **error, gpointer) {
  if (g_strcmp0(property, "SupportedDeviceTypes") == 0) {
    return g_variant_new_uint32(optTouch ? 7 : 3);
  }
  if (g_strcmp0(property, "Version") == 0) {
    return g_variant_new_int32(2);
  }
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", property);
  return nullptr;
}

const GDBusInterfaceVTable kRootVTable = {OnRootCall, OnRootProperty, nullptr, {}};

void OnControlCall(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                   const gchar *method, GVariant *params, GDBusMethodInvocation *invocation,
                   gpointer) {
  GVariant *result = nullptr;
  if (g_strcmp0(method, "DisconnectClients") == 0) {
    EisServerDisconnectAll();
  } else if (g_strcmp0(method, "DisconnectAfter") == 0) {
    guint32 n = 0;
    g_variant_get(params, "(u)", &n);
    EisServerDisconnectAfter(n);
  } else if (g_strcmp0(method, "SetRefuseConnectToEIS") == 0) {
    gboolean refuse = FALSE;
    g_variant_get(params, "(b)", &refuse);
    service->refuseEis = refuse;
    service->refuseEisCount = 0;
  } else if (g_strcmp0(method, "SetStallConnectToEIS") == 0) {
    g_variant_get(params, "(u)", &service->stallEisMs);
  } else if (g_strcmp0(method, "StallEis") == 0) {
    guint32 ms = 0;
    g_variant_get(params, "(u)", &ms);
    EisServerStall(ms);
  } else if (g_strcmp0(method, "PauseDevices") == 0) {
    EisServerPauseDevices();
  } else if (g_strcmp0(method, "ResumeDevices") == 0) {
    EisServerResumeDevices();
  } else if (g_strcmp0(method, "RemoveDevice") == 0) {
    const char *kind = nullptr;
    g_variant_get(params, "(&s)", &kind);
    result = g_variant_new("(b)", EisServerRemoveDevice(kind));
  } else if (g_strcmp0(method, "AddSeat") == 0) {
    const char *name = nullptr;
    g_variant_get(params, "(&s)", &name);
    EisServerAddSeat(name);
  } else if (g_strcmp0(method, "GetCounts") == 0) {
    result = g_variant_new("(uuuut)", service->created, service->started, service->stopped,
                           EisServerClientCount(),
                           static_cast<guint64>(EisServerInputEventCount()));
  } else {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.UnknownMethod",
                                               method);
    return;
  }
  g_dbus_method_invocation_return_value(invocation, result);
}

const GDBusInterfaceVTable kControlVTable = {OnControlCall, nullptr, nullptr, {}};

GOptionEntry kEntries[] = {
    {"eis-events", 0, 0, G_OPTION_ARG_FILENAME, &optEventsFile,
     "Record every RemoteDesktop/EIS event, one line each, to FILE", "FILE"},
    {"eis-width", 0, 0, G_OPTION_ARG_INT, &optWidth, "Width of the pointer region (1280)", "N"},
    {"eis-height", 0, 0, G_OPTION_ARG_INT, &optHeight, "Height of the pointer region (720)", "N"},
    {"eis-relative-pointer", 0, 0, G_OPTION_ARG_NONE, &optRelativePointer,
     "Offer a relative pointer device too", nullptr},
    {"eis-touch", 0, 0, G_OPTION_ARG_NONE, &optTouch, "Offer a touch device too", nullptr},
    {"eis-keymap", 0, 0, G_OPTION_ARG_NONE, &optKeymap, "Give the keyboard an xkb keymap", nullptr},
    {"eis-second-seat", 0, 0, G_OPTION_ARG_NONE, &optSecondSeat, "Announce a second seat", nullptr},
    {"eis-disconnect-after", 0, 0, G_OPTION_ARG_INT, &optDisconnectAfter,
     "Disconnect each EIS client after N input events", "N"},
    {"rd-refuse-eis", 0, 0, G_OPTION_ARG_NONE, &optRefuseEis, "Refuse every ConnectToEIS", nullptr},
    {"rd-refuse-eis-count", 0, 0, G_OPTION_ARG_INT, &optRefuseEisCount,
     "Refuse the first N ConnectToEIS calls", "N"},
    {"rd-disable", 0, 0, G_OPTION_ARG_NONE, &optDisabled,
     "Do not offer the RemoteDesktop service at all", nullptr},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};

GOptionGroup *RemoteDesktopOptions() {
  GOptionGroup *group = g_option_group_new("remote-desktop", "RemoteDesktop and EIS options",
                                           "Show the RemoteDesktop and EIS options", nullptr,
                                           nullptr);
  g_option_group_add_entries(group, kEntries);
  return group;
}

// The name is requested synchronously so it is owned before "ready".
void StopRemoteDesktop();

bool StartRemoteDesktop(GDBusConnection *bus) {
  if (optDisabled) {
    return true;
  }
  service = new Service();
  service->bus = G_DBUS_CONNECTION(g_object_ref(bus));
  service->refuseEis = optRefuseEis;
  service->refuseEisCount = optRefuseEisCount;
  service->introspection = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);

  EisServerOptions eis;
  eis.width = optWidth;
  eis.height = optHeight;
  eis.relativePointer = optRelativePointer;
  eis.touch = optTouch;
  eis.keymap = optKeymap;
  eis.secondSeat = optSecondSeat;
  eis.disconnectAfter = optDisconnectAfter > 0 ? static_cast<uint32_t>(optDisconnectAfter) : 0;
  if (optWidth <= 0 || optHeight <= 0 || !EisRecorderOpen(optEventsFile) || !EisServerStart(eis)) {
    StopRemoteDesktop();
    return false;
  }
  GError *error = nullptr;
  service->rootRegistration = g_dbus_connection_register_object(
      bus, kRootPath, Interface("org.gnome.Mutter.RemoteDesktop"), &kRootVTable, nullptr, nullptr,
      &error);
  if (service->rootRegistration != 0) {
    service->controlRegistration = g_dbus_connection_register_object(
        bus, kControlPath, Interface("org.sightwell.FakeCompositor.Input"), &kControlVTable,
        nullptr, nullptr, &error);
  }
  if (service->controlRegistration == 0) {
    fprintf(stderr, "fake-compositor: cannot export RemoteDesktop: %s\n", error->message);
    g_error_free(error);
    StopRemoteDesktop();
    return false;
  }
  service->ownsName = FakeRequestBusName(bus, kBusName);
  if (!service->ownsName) {
    StopRemoteDesktop();
    return false;
  }
  return true;
}

void StopRemoteDesktop() {
  if (service == nullptr) {
    return;
  }
  while (!service->sessions.empty()) {
    StopSession(service->sessions.begin()->first, false);
  }
  if (service->controlRegistration != 0) {
    g_dbus_connection_unregister_object(service->bus, service->controlRegistration);
  }
  if (service->rootRegistration != 0) {
    g_dbus_connection_unregister_object(service->bus, service->rootRegistration);
  }
  EisServerStop();
  EisRecorderClose();
  if (service->introspection != nullptr) {
    g_dbus_node_info_unref(service->introspection);
  }
  g_object_unref(service->bus);
  delete service;
  service = nullptr;
}

const FakeService kRemoteDesktopService = {"remote-desktop", RemoteDesktopOptions,
                                           StartRemoteDesktop, StopRemoteDesktop};
FAKE_REGISTER_SERVICE(kRemoteDesktopService);

}  // namespace
