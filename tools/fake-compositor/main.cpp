// Entry of the fake compositor: parses the options of every registered
// service, connects to the session bus named by DBUS_SESSION_BUS_ADDRESS,
// starts the services and runs until SIGTERM or SIGINT.
#include <glib-unix.h>

#include <cstdio>

#include "tools/fake-compositor/fake_service.h"

std::vector<const FakeService *> &FakeServices() {
  static std::vector<const FakeService *> services;
  return services;
}

bool FakeRequestBusName(GDBusConnection *bus, const char *name) {
  GError *error = nullptr;
  GVariant *reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
      g_variant_new("(su)", name, 4u /* DO_NOT_QUEUE */), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
  if (reply == nullptr) {
    fprintf(stderr, "fake-compositor: RequestName %s: %s\n", name, error->message);
    g_error_free(error);
    return false;
  }
  guint32 result = 0;
  g_variant_get(reply, "(u)", &result);
  g_variant_unref(reply);
  if (result != 1) {
    fprintf(stderr, "fake-compositor: %s is owned by someone else\n", name);
    return false;
  }
  return true;
}

static gboolean OnQuitSignal(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop *>(loop));
  return G_SOURCE_CONTINUE;
}

int main(int argc, char **argv) {
  GOptionContext *options = g_option_context_new("- stand-in for the compositor's capture and input services");
  for (const FakeService *service : FakeServices()) {
    if (service->optionGroup != nullptr) {
      g_option_context_add_group(options, service->optionGroup());
    }
  }
  GError *error = nullptr;
  if (!g_option_context_parse(options, &argc, &argv, &error)) {
    fprintf(stderr, "fake-compositor: %s\n", error->message);
    g_error_free(error);
    g_option_context_free(options);
    return 2;
  }
  g_option_context_free(options);

  GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (bus == nullptr) {
    fprintf(stderr, "fake-compositor: cannot connect to the session bus: %s\n", error->message);
    g_error_free(error);
    return 1;
  }
  // The compositor outlives its clients; a vanished bus ends it quietly.
  g_dbus_connection_set_exit_on_close(bus, FALSE);

  GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
  g_unix_signal_add(SIGTERM, OnQuitSignal, loop);
  g_unix_signal_add(SIGINT, OnQuitSignal, loop);

  size_t started = 0;
  int status = 0;
  for (const FakeService *service : FakeServices()) {
    if (!service->start(bus)) {
      fprintf(stderr, "fake-compositor: service %s failed to start\n", service->name);
      status = 1;
      break;
    }
    started++;
  }
  if (status == 0) {
    printf("fake-compositor: ready\n");
    fflush(stdout);
    g_main_loop_run(loop);
  }
  for (size_t i = started; i > 0; i--) {
    FakeServices()[i - 1]->stop();
  }
  g_main_loop_unref(loop);
  g_object_unref(bus);
  return status;
}
