#include "tests/support/compositor_sessions.h"

#include <gio/gio.h>

namespace swtest {

int CountCompositorSessions(const std::string &busAddress, const char *busName,
                            const char *parentPath) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusConnection) bus = g_dbus_connection_new_for_address_sync(
      busAddress.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (bus == nullptr) {
    return -1;
  }
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus, busName, parentPath, "org.freedesktop.DBus.Introspectable", "Introspect", nullptr,
      G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
  if (reply == nullptr) {
    return -1;
  }
  const char *xml = nullptr;
  g_variant_get(reply, "(&s)", &xml);
  g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(xml, &error);
  if (node == nullptr) {
    return -1;
  }
  int count = 0;
  for (GDBusNodeInfo **child = node->nodes; child != nullptr && *child != nullptr; child++) {
    count++;
  }
  return count;
}

}  // namespace swtest
