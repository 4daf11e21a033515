#include "tests/support/fake_control.h"

namespace swtest {

namespace {

struct ControlObject {
  const char *busName;
  const char *path;
  const char *interface;
};

// Indexed by FakeService.
constexpr ControlObject kControlObjects[] = {
    {"org.gnome.Mutter.ScreenCast", "/org/sightwell/FakeCompositor/ScreenCast",
     "org.sightwell.FakeCompositor.ScreenCast"},
    {"org.gnome.Mutter.RemoteDesktop", "/org/sightwell/FakeCompositor/Input",
     "org.sightwell.FakeCompositor.Input"},
};

}  // namespace

FakeControl::FakeControl(const TestServices &services) {
  bus_ = g_dbus_connection_new_for_address_sync(
      services.Get("DBUS_SESSION_BUS_ADDRESS").c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
}

FakeControl::~FakeControl() {
  if (bus_ != nullptr) {
    g_dbus_connection_close_sync(bus_, nullptr, nullptr);
    g_object_unref(bus_);
  }
}

bool FakeControl::Call(FakeService service, const char *method, GVariant *args,
                       std::string *error, GVariant **reply) {
  const ControlObject &object = kControlObjects[static_cast<int>(service)];
  GError *gerror = nullptr;
  GVariant *result = g_dbus_connection_call_sync(bus_, object.busName, object.path,
                                                 object.interface, method, args, nullptr,
                                                 G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &gerror);
  if (result == nullptr) {
    if (error != nullptr) *error = gerror->message;
    g_error_free(gerror);
    return false;
  }
  if (reply != nullptr) {
    *reply = result;
  } else {
    g_variant_unref(result);
  }
  return true;
}

}  // namespace swtest
