// Helpers of the input tests: a log output that keeps the lines, the fake
// compositor as a child process with its event record and control interface,
// and a pump that runs an injector's HandleEvents the way the input event
// thread does.
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "input/input.h"
#include "tests/support/fake_control.h"
#include "tests/support/process.h"
#include "tests/support/test_env.h"

namespace inputtest {

// Every log line from registration on (all levels up to info).
class LogCapture {
 public:
  static LogCapture &Get();  // registered once per process
  size_t Mark();
  std::vector<std::string> LinesSince(size_t mark);
  size_t Count(const std::string &needle, size_t mark = 0);
  bool WaitFor(const std::string &needle, int timeoutMs, size_t mark = 0);
  void Append(const std::string &line);

 private:
  std::mutex lock_;
  std::vector<std::string> lines_;
};

struct RecordedEvent {
  uint64_t ns = 0;
  std::string text;  // "<kind> [args]"
};

class FakeCompositor {
 public:
  // Starts it on the services' bus with the given extra options.
  FakeCompositor(const swtest::TestServices &services, std::vector<std::string> options = {});
  ~FakeCompositor();

  bool ok() const { return ok_; }
  std::vector<RecordedEvent> Events();
  // Event texts from index `from` on whose kind is in kinds (all when empty).
  std::vector<std::string> Texts(size_t from, const std::vector<std::string> &kinds = {});
  size_t EventCount() { return Events().size(); }
  bool WaitForEvent(const std::string &text, int timeoutMs, size_t from = 0);
  // Calls a method of the control interface; false on a D-Bus error.
  bool Control(const char *method, GVariant *args = nullptr, GVariant **reply = nullptr);
  void Kill();

 private:
  bool ok_ = false;
  std::string dir_;
  std::string eventsPath_;
  std::unique_ptr<swtest::Process> process_;
  std::unique_ptr<swtest::FakeControl> control_;
};

// The input kinds the fake compositor records for injected events.
extern const std::vector<std::string> kInputKinds;

// Runs HandleEvents whenever the EIS descriptor is readable (and at least
// every 20 ms) until done() holds or timeoutMs passed.
bool Pump(InputInjector &injector, const std::function<bool()> &done, int timeoutMs);

// Connects (HandleEvents runs Init) and pumps until the keyboard and the absolute
// pointer are emulating on the fake compositor.
bool ConnectAndWaitForDevices(FakeCompositor &compositor, InputInjector &injector);

// Pumps until the current connection is gone (after the compositor died),
// so that the injector lets go of a context that has ended.
void DrainDisconnect(InputInjector &injector);

// The process's shared services (started once, in the test environment).
const swtest::TestServices &Services();

}  // namespace inputtest
