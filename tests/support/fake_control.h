// The fake compositor's test control interfaces, called over a private
// connection to the test services' session bus (fault switches, resizes,
// dropped clients).
#pragma once

#include <gio/gio.h>

#include <string>

#include "tests/support/test_env.h"

namespace swtest {

enum class FakeService { kScreenCast, kInput };

class FakeControl {
 public:
  explicit FakeControl(const TestServices &services);
  ~FakeControl();
  FakeControl(const FakeControl &) = delete;
  FakeControl &operator=(const FakeControl &) = delete;

  bool ok() const { return bus_ != nullptr; }
  // Calls method (args may be null, and is consumed when floating). On
  // success the result goes to *reply when given (unref it), else it is
  // dropped; on failure the error's text goes to *error.
  bool Call(FakeService service, const char *method, GVariant *args, std::string *error,
            GVariant **reply = nullptr);

 private:
  GDBusConnection *bus_ = nullptr;
};

}  // namespace swtest
