// An in-process capture harness for integration tests: the fake compositor
// as a child process on private session services, the screen cast thread of
// this process capturing from it, and a consumer thread that checks and
// counts what comes out of the queues.
#pragma once

#include <gio/gio.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/screencast_internal.h"
#include "tests/support/process.h"
#include "tests/support/test_env.h"

namespace captest {

struct ConsumerStats {
  uint32_t frames = 0;
  uint32_t emptyFrames = 0;     // popped with size 0 (after a format change)
  uint32_t badSize = 0;         // size != width * height * 4
  uint32_t badPixels = 0;       // content differs from the scene
  uint32_t outOfOrder = 0;      // a stamp counter that did not increase
  uint32_t lastWidth = 0, lastHeight = 0;
  std::vector<std::pair<uint32_t, uint32_t>> sizes;  // distinct, in order seen
  uint32_t cursors = 0;
  uint32_t cursorBitmapsSent = 0;  // CursorShapeChanged said yes
  uint32_t badCursorBitmaps = 0;
  std::vector<uint32_t> shapeIdsSent;
  uint32_t positionOnly = 0;
};

class ScreenCastHarness {
 public:
  // Starts the services once per test binary (shared) and the compositor.
  explicit ScreenCastHarness(const std::vector<std::string> &compositorArgs);
  ~ScreenCastHarness();

  bool ok() const { return ok_; }
  const std::string &error() const { return error_; }
  // Starts / stops the capture thread and the consumer.
  void Start(const char *connector = "Meta-0");
  // Stops capture; returns the milliseconds the join took.
  long Stop();
  ConsumerStats Stats();
  bool WaitFrames(uint32_t n, int timeoutMs);
  // Slows the consumer down (ms per frame; 0 = full speed).
  void SetConsumerDelay(int ms) { delayMs_.store(ms); }
  // Calls a method of the compositor's control interface.
  bool Control(const char *method, GVariant *args);
  // Session counters of the compositor (sessions created, Start calls).
  bool CompositorStats(uint32_t *sessions, uint32_t *starts, uint32_t *frames,
                       std::string *cursorMode = nullptr);

 private:
  void ConsumerLoop();
  bool ok_ = false;
  std::string error_;
  std::unique_ptr<swtest::Process> compositor_;
  GDBusConnection *bus_ = nullptr;
  ScreenCastContext *ctx_ = nullptr;
  std::thread capture_;
  std::thread consumer_;
  int stopFd_ = -1;
  std::atomic<int> delayMs_{0};
  std::mutex lock_;
  ConsumerStats stats_;
  int64_t lastCounter_ = -1;
};

}  // namespace captest
