// libeis server of the fake compositor (see eis_server.h).
#include "tools/fake-compositor/eis_server.h"

#include <glib-unix.h>
#include <glib.h>
#include <libei-1.0/libeis.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "tools/fake-compositor/eis_recorder.h"

namespace {

struct FakeDevice {
  eis_device *device = nullptr;  // one reference
  std::string kind;              // "keyboard", "absolute", "pointer", "touch"
  std::string name;
};

struct FakeSeat {
  eis_seat *seat = nullptr;  // one reference
  bool bound = false;
};

struct FakeClient {
  eis_client *client = nullptr;  // one reference
  std::string name;
  std::string sessionPath;
  std::vector<FakeSeat> seats;
  std::vector<FakeDevice> devices;
  uint64_t inputEvents = 0;
  bool disconnecting = false;
};

struct Server {
  EisServerOptions options;
  eis *ctx = nullptr;
  guint source = 0;
  // Sessions of the descriptors handed out, in order; a connecting client
  // takes the oldest (clients connect in the order their sessions asked).
  std::deque<std::string> pendingSessions;
  std::vector<std::unique_ptr<FakeClient>> clients;
  uint32_t disconnectAfter = 0;
  uint64_t inputEvents = 0;
  guint stallTimer = 0;  // reading resumes when it fires
};

Server *server = nullptr;

constexpr const char kKeymap[] =
    "xkb_keymap {\n"
    "  xkb_keycodes \"evdev\" { include \"evdev\" };\n"
    "  xkb_types \"complete\" { include \"complete\" };\n"
    "  xkb_compat \"complete\" { include \"complete\" };\n"
    "  xkb_symbols \"pc+us\" { include \"pc+us+inet(evdev)\" };\n"
    "};\n";

FakeClient *ClientOf(eis_client *client) {
  return client != nullptr ? static_cast<FakeClient *>(eis_client_get_user_data(client)) : nullptr;
}

const char *DeviceName(eis_device *device) {
  const char *name = device != nullptr ? eis_device_get_name(device) : nullptr;
  return name != nullptr ? name : "(none)";
}

void AddKeymap(eis_device *device) {
  int fd = memfd_create("fake-keymap", MFD_CLOEXEC);
  if (fd < 0) {
    return;
  }
  size_t size = sizeof kKeymap;  // with the NUL, as xkb keymaps travel
  if (write(fd, kKeymap, size) == static_cast<ssize_t>(size)) {
    eis_keymap *keymap = eis_device_new_keymap(device, EIS_KEYMAP_TYPE_XKB, fd, size);
    if (keymap != nullptr) {
      eis_keymap_add(keymap);
      eis_keymap_unref(keymap);
    }
  }
  close(fd);
}

void AddRegion(eis_device *device) {
  eis_region *region = eis_device_new_region(device);
  if (region != nullptr) {
    eis_region_set_offset(region, 0, 0);
    eis_region_set_size(region, static_cast<uint32_t>(server->options.width),
                        static_cast<uint32_t>(server->options.height));
    eis_region_add(region);
    eis_region_unref(region);
  }
}

void AddDevice(FakeClient &client, eis_seat *seat, const char *kind, const char *name,
               std::initializer_list<eis_device_capability> caps) {
  eis_device *device = eis_seat_new_device(seat);
  eis_device_configure_type(device, EIS_DEVICE_TYPE_VIRTUAL);
  eis_device_configure_name(device, name);
  bool needsRegion = false;
  for (eis_device_capability cap : caps) {
    eis_device_configure_capability(device, cap);
    needsRegion |= cap == EIS_DEVICE_CAP_POINTER_ABSOLUTE || cap == EIS_DEVICE_CAP_TOUCH;
  }
  if (needsRegion) {
    AddRegion(device);
  }
  if (strcmp(kind, "keyboard") == 0 && server->options.keymap) {
    AddKeymap(device);
  }
  eis_device_add(device);
  EisRecord("device-added %s", name);
  eis_device_resume(device);
  EisRecord("device-resumed %s", name);
  client.devices.push_back(FakeDevice{device, kind, name});
}

// Devices follow the bind: only what the client asked for.
void CreateDevices(FakeClient &client, eis_event *event, eis_seat *seat) {
  auto has = [event](eis_device_capability cap) { return eis_event_seat_has_capability(event, cap); };
  if (has(EIS_DEVICE_CAP_KEYBOARD)) {
    AddDevice(client, seat, "keyboard", "fake keyboard", {EIS_DEVICE_CAP_KEYBOARD});
  }
  if (has(EIS_DEVICE_CAP_POINTER_ABSOLUTE)) {
    AddDevice(client, seat, "absolute", "fake absolute pointer",
              {EIS_DEVICE_CAP_POINTER_ABSOLUTE, EIS_DEVICE_CAP_BUTTON, EIS_DEVICE_CAP_SCROLL});
  }
  if (server->options.relativePointer && has(EIS_DEVICE_CAP_POINTER)) {
    AddDevice(client, seat, "pointer", "fake pointer",
              {EIS_DEVICE_CAP_POINTER, EIS_DEVICE_CAP_BUTTON, EIS_DEVICE_CAP_SCROLL});
  }
  if (server->options.touch && has(EIS_DEVICE_CAP_TOUCH)) {
    AddDevice(client, seat, "touch", "fake touchscreen", {EIS_DEVICE_CAP_TOUCH});
  }
}

void AddSeat(FakeClient &client, const char *name) {
  eis_seat *seat = eis_client_new_seat(client.client, name);
  for (eis_device_capability cap :
       {EIS_DEVICE_CAP_POINTER, EIS_DEVICE_CAP_POINTER_ABSOLUTE, EIS_DEVICE_CAP_KEYBOARD,
        EIS_DEVICE_CAP_TOUCH, EIS_DEVICE_CAP_SCROLL, EIS_DEVICE_CAP_BUTTON}) {
    eis_seat_configure_capability(seat, cap);
  }
  eis_seat_add(seat);
  EisRecord("seat-added %s", name);
  client.seats.push_back(FakeSeat{seat, false});
}

void ReleaseClient(FakeClient &client) {
  for (FakeDevice &d : client.devices) {
    eis_device_unref(d.device);
  }
  client.devices.clear();
  for (FakeSeat &s : client.seats) {
    eis_seat_unref(s.seat);
  }
  client.seats.clear();
  eis_client_set_user_data(client.client, nullptr);
  eis_client_unref(client.client);
  client.client = nullptr;
}

void DropClient(FakeClient *client) {
  auto &list = server->clients;
  auto it = std::find_if(list.begin(), list.end(),
                         [client](const auto &c) { return c.get() == client; });
  if (it != list.end()) {
    ReleaseClient(**it);
    list.erase(it);
  }
}

void Disconnect(FakeClient &client) {
  if (!client.disconnecting) {
    client.disconnecting = true;
    eis_client_disconnect(client.client);
  }
}

// Counts an input event of a client and applies the disconnect-after switch.
void CountInput(eis_event *event) {
  server->inputEvents++;
  FakeClient *client = ClientOf(eis_event_get_client(event));
  if (client == nullptr) {
    return;
  }
  client->inputEvents++;
  if (server->disconnectAfter != 0 && client->inputEvents >= server->disconnectAfter) {
    Disconnect(*client);
  }
}

void HandleEvent(eis_event *event) {
  switch (eis_event_get_type(event)) {
    case EIS_EVENT_CLIENT_CONNECT: {
      eis_client *c = eis_event_get_client(event);
      auto client = std::make_unique<FakeClient>();
      client->client = eis_client_ref(c);
      const char *name = eis_client_get_name(c);
      client->name = name != nullptr ? name : "";
      if (!server->pendingSessions.empty()) {
        client->sessionPath = server->pendingSessions.front();
        server->pendingSessions.pop_front();
      }
      eis_client_set_user_data(c, client.get());
      EisRecord("client-connect %s", client->name.c_str());
      if (!eis_client_is_sender(c)) {
        // Only input emulation (sender) clients are served.
        eis_client_disconnect(c);
        ReleaseClient(*client);
        break;
      }
      eis_client_connect(c);
      AddSeat(*client, "seat0");
      if (server->options.secondSeat) {
        AddSeat(*client, "seat1");
      }
      server->clients.push_back(std::move(client));
      break;
    }
    case EIS_EVENT_CLIENT_DISCONNECT: {
      FakeClient *client = ClientOf(eis_event_get_client(event));
      EisRecord("client-disconnect %s", client != nullptr ? client->name.c_str() : "");
      if (client != nullptr) {
        DropClient(client);
      }
      break;
    }
    case EIS_EVENT_SEAT_BIND: {
      FakeClient *client = ClientOf(eis_event_get_client(event));
      eis_seat *seat = eis_event_get_seat(event);
      uint32_t caps = 0;
      for (uint32_t cap = 1; cap <= EIS_DEVICE_CAP_BUTTON; cap <<= 1) {
        if (eis_event_seat_has_capability(event, static_cast<eis_device_capability>(cap))) {
          caps |= cap;
        }
      }
      EisRecord("seat-bind %s %u", seat != nullptr ? eis_seat_get_name(seat) : "", caps);
      if (client == nullptr || seat == nullptr) {
        break;
      }
      for (FakeSeat &s : client->seats) {
        if (s.seat == seat && !s.bound && caps != 0) {
          s.bound = true;
          CreateDevices(*client, event, seat);
        }
      }
      break;
    }
    case EIS_EVENT_DEVICE_CLOSED: {
      eis_device *device = eis_event_get_device(event);
      EisRecord("device-closed %s", DeviceName(device));
      FakeClient *client = ClientOf(eis_event_get_client(event));
      if (client != nullptr) {
        auto &ds = client->devices;
        for (auto it = ds.begin(); it != ds.end(); ++it) {
          if (it->device == device) {
            eis_device_remove(it->device);
            eis_device_unref(it->device);
            ds.erase(it);
            break;
          }
        }
      }
      break;
    }
    case EIS_EVENT_DEVICE_START_EMULATING:
      EisRecord("start-emulating %s %u", DeviceName(eis_event_get_device(event)),
                eis_event_emulating_get_sequence(event));
      break;
    case EIS_EVENT_DEVICE_STOP_EMULATING:
      EisRecord("stop-emulating %s", DeviceName(eis_event_get_device(event)));
      break;
    case EIS_EVENT_FRAME:
      EisRecord("frame");
      break;
    case EIS_EVENT_POINTER_MOTION:
      EisRecord("motion %g %g", eis_event_pointer_get_dx(event), eis_event_pointer_get_dy(event));
      CountInput(event);
      break;
    case EIS_EVENT_POINTER_MOTION_ABSOLUTE:
      EisRecord("abs %g %g", eis_event_pointer_get_absolute_x(event),
                eis_event_pointer_get_absolute_y(event));
      CountInput(event);
      break;
    case EIS_EVENT_BUTTON_BUTTON:
      EisRecord("button %u %d", eis_event_button_get_button(event),
                eis_event_button_get_is_press(event) ? 1 : 0);
      CountInput(event);
      break;
    case EIS_EVENT_SCROLL_DELTA:
      EisRecord("scroll %g %g", eis_event_scroll_get_dx(event), eis_event_scroll_get_dy(event));
      CountInput(event);
      break;
    case EIS_EVENT_SCROLL_DISCRETE:
      EisRecord("scroll-discrete %d %d", eis_event_scroll_get_discrete_dx(event),
                eis_event_scroll_get_discrete_dy(event));
      CountInput(event);
      break;
    case EIS_EVENT_SCROLL_STOP:
      EisRecord("scroll-stop %d %d", eis_event_scroll_get_stop_x(event) ? 1 : 0,
                eis_event_scroll_get_stop_y(event) ? 1 : 0);
      CountInput(event);
      break;
    case EIS_EVENT_SCROLL_CANCEL:
      EisRecord("scroll-cancel %d %d", eis_event_scroll_get_stop_x(event) ? 1 : 0,
                eis_event_scroll_get_stop_y(event) ? 1 : 0);
      CountInput(event);
      break;
    case EIS_EVENT_KEYBOARD_KEY:
      EisRecord("key %u %d", eis_event_keyboard_get_key(event),
                eis_event_keyboard_get_key_is_press(event) ? 1 : 0);
      CountInput(event);
      break;
    case EIS_EVENT_TOUCH_DOWN:
      EisRecord("touch-down %u %g %g", eis_event_touch_get_id(event), eis_event_touch_get_x(event),
                eis_event_touch_get_y(event));
      CountInput(event);
      break;
    case EIS_EVENT_TOUCH_MOTION:
      EisRecord("touch-motion %u %g %g", eis_event_touch_get_id(event),
                eis_event_touch_get_x(event), eis_event_touch_get_y(event));
      CountInput(event);
      break;
    case EIS_EVENT_TOUCH_UP:
      EisRecord("touch-up %u", eis_event_touch_get_id(event));
      CountInput(event);
      break;
    default:
      break;
  }
}

gboolean OnEisReadable(gint, GIOCondition, gpointer) {
  eis_dispatch(server->ctx);
  for (eis_event *event = eis_get_event(server->ctx); event != nullptr;
       event = eis_get_event(server->ctx)) {
    HandleEvent(event);
    eis_event_unref(event);
  }
  return G_SOURCE_CONTINUE;
}

// Requests made outside the EIS callback (the control interface) go out on
// the next dispatch; run one now instead of waiting for the client.
void FlushNow() { OnEisReadable(0, G_IO_IN, nullptr); }

}  // namespace

bool EisServerStart(const EisServerOptions &options) {
  server = new Server();
  server->options = options;
  server->disconnectAfter = options.disconnectAfter;
  server->ctx = eis_new(nullptr);
  if (server->ctx == nullptr || eis_setup_backend_fd(server->ctx) != 0) {
    fprintf(stderr, "fake-compositor: cannot set up the EIS server\n");
    EisServerStop();
    return false;
  }
  server->source = g_unix_fd_add(eis_get_fd(server->ctx), G_IO_IN, OnEisReadable, nullptr);
  return true;
}

void EisServerStop() {
  if (server == nullptr) {
    return;
  }
  if (server->source != 0) {
    g_source_remove(server->source);
  }
  if (server->stallTimer != 0) {
    g_source_remove(server->stallTimer);
  }
  for (auto &client : server->clients) {
    eis_client_disconnect(client->client);
    ReleaseClient(*client);
  }
  server->clients.clear();
  if (server->ctx != nullptr) {
    eis_unref(server->ctx);
  }
  delete server;
  server = nullptr;
}

int EisServerAddClient(const std::string &sessionPath) {
  int fd = eis_backend_fd_add_client(server->ctx);
  if (fd >= 0) {
    server->pendingSessions.push_back(sessionPath);
  }
  return fd;
}

void EisServerDisconnectSession(const std::string &sessionPath) {
  for (auto &client : server->clients) {
    if (client->sessionPath == sessionPath) {
      Disconnect(*client);
    }
  }
  // A descriptor that never connected belongs to a stopped session too.
  auto &pending = server->pendingSessions;
  pending.erase(std::remove(pending.begin(), pending.end(), sessionPath), pending.end());
}

void EisServerDisconnectAll() {
  for (auto &client : server->clients) {
    Disconnect(*client);
  }
}

void EisServerDisconnectAfter(uint32_t events) {
  server->disconnectAfter = events;
  for (auto &client : server->clients) {
    client->inputEvents = 0;
  }
}

namespace {

gboolean OnStallOver(gpointer) {
  server->stallTimer = 0;
  server->source = g_unix_fd_add(eis_get_fd(server->ctx), G_IO_IN, OnEisReadable, nullptr);
  EisRecord("eis-stall-over");
  return G_SOURCE_REMOVE;
}

}  // namespace

void EisServerStall(uint32_t ms) {
  if (server->stallTimer != 0) {
    g_source_remove(server->stallTimer);
  } else if (server->source != 0) {
    g_source_remove(server->source);
    server->source = 0;
  }
  EisRecord("eis-stall %u", ms);
  server->stallTimer = g_timeout_add(ms, OnStallOver, nullptr);
}

void EisServerPauseDevices() {
  for (auto &client : server->clients) {
    for (FakeDevice &d : client->devices) {
      eis_device_pause(d.device);
      EisRecord("device-paused %s", d.name.c_str());
    }
  }
  FlushNow();
}

void EisServerResumeDevices() {
  for (auto &client : server->clients) {
    for (FakeDevice &d : client->devices) {
      eis_device_resume(d.device);
      EisRecord("device-resumed %s", d.name.c_str());
    }
  }
  FlushNow();
}

bool EisServerRemoveDevice(const std::string &kind) {
  bool removed = false;
  for (auto &client : server->clients) {
    auto &ds = client->devices;
    for (auto it = ds.begin(); it != ds.end();) {
      if (it->kind == kind) {
        eis_device_remove(it->device);
        EisRecord("device-removed %s", it->name.c_str());
        eis_device_unref(it->device);
        it = ds.erase(it);
        removed = true;
      } else {
        ++it;
      }
    }
  }
  FlushNow();
  return removed;
}

void EisServerAddSeat(const std::string &name) {
  for (auto &client : server->clients) {
    AddSeat(*client, name.c_str());
  }
  FlushNow();
}

uint32_t EisServerClientCount() {
  return static_cast<uint32_t>(server->clients.size());
}

uint64_t EisServerInputEventCount() {
  return server->inputEvents;
}
