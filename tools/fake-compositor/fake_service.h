// A service of the fake compositor. Each service file registers one with
// FAKE_REGISTER_SERVICE; main() gathers their options, starts them on the
// session bus and stops them in reverse order at exit.
#pragma once

#include <gio/gio.h>

#include <vector>

struct FakeService {
  const char *name;
  // Command-line options of this service (may be null); parsed before start.
  GOptionGroup *(*optionGroup)(void);
  // Exports the service's objects and owns its bus name. Runs on the main
  // loop's context; returns false on failure (main then exits 1).
  bool (*start)(GDBusConnection *bus);
  // Releases everything the service created.
  void (*stop)(void);
};

std::vector<const FakeService *> &FakeServices();

struct FakeServiceRegistrar {
  explicit FakeServiceRegistrar(const FakeService *service) { FakeServices().push_back(service); }
};

#define FAKE_REGISTER_SERVICE(var) static FakeServiceRegistrar var##_registrar(&var)

// Owns a well-known name on the bus (no queueing); false, with a message on
// standard error, when the call fails or someone else owns it.
bool FakeRequestBusName(GDBusConnection *bus, const char *name);
