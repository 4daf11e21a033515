// In-process capture against the fake compositor (see screencast_harness.h).
#include "tests/capture/screencast_harness.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "tools/fake-compositor/screencast_scene.h"
#include "tools/sightwell-parent/frame_stamp.h"

namespace captest {

namespace {

// One set of services for the whole test binary, stopped at exit.
swtest::TestServices *SharedServices() {
  static std::unique_ptr<swtest::TestServices> services =
      std::make_unique<swtest::TestServices>();
  return services.get();
}

void *PipeWireHandle = nullptr;
PipeWireApi LoadedApi;

bool LoadOnce() {
  if (PipeWireHandle == nullptr && LoadPipeWireLibrary(&PipeWireHandle, &LoadedApi) != 0) {
    return false;
  }
  return true;
}

void CaptureEntry(ScreenCastContext *ctx) { ScreenCastThreadMain(ctx); }

}  // namespace

ScreenCastHarness::ScreenCastHarness(const std::vector<std::string> &compositorArgs) {
  swtest::TestServices *services = SharedServices();
  if (!services->ok()) {
    error_ = "services: " + services->error();
    return;
  }
  services->ApplyToProcess();
  std::vector<std::string> argv = {swtest::FakeCompositorBinary()};
  argv.insert(argv.end(), compositorArgs.begin(), compositorArgs.end());
  swtest::Process::Options options;
  options.env = services->env();
  compositor_ = swtest::Process::Spawn(argv, options);
  if (!compositor_ ||
      !swtest::WaitFor([&] { return compositor_->Stdout().find("ready") != std::string::npos; },
                       5000)) {
    error_ = "fake compositor did not start: " + (compositor_ ? compositor_->Stderr() : "");
    return;
  }
  if (!LoadOnce()) {
    error_ = "PipeWire library not loaded";
    return;
  }
  // The screen cast thread shares this process's session bus connection;
  // it must not end the test process when the bus goes away.
  bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (bus_ == nullptr) {
    error_ = "no session bus";
    return;
  }
  g_dbus_connection_set_exit_on_close(bus_, FALSE);
  ctx_ = new ScreenCastContext();
  ctx_->pwApi = LoadedApi;
  ctx_->screenFds = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC);
  ctx_->cursorFds = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC);
  stopFd_ = eventfd(0, EFD_CLOEXEC);
  ok_ = true;
}

ScreenCastHarness::~ScreenCastHarness() {
  Stop();
  if (ctx_ != nullptr) {
    close(ctx_->screenFds);
    close(ctx_->cursorFds);
    delete ctx_;
  }
  if (stopFd_ >= 0) close(stopFd_);
  if (bus_ != nullptr) g_object_unref(bus_);
  if (compositor_) {
    compositor_->Signal(SIGTERM);
    if (!compositor_->Wait(3000)) compositor_->Signal(SIGKILL);
  }
}

void ScreenCastHarness::Start(const char *connector) {
  strncpy(ctx_->connector, connector, sizeof ctx_->connector - 1);
  ctx_->stopRequested.store(false);
  capture_ = std::thread(CaptureEntry, ctx_);
  consumer_ = std::thread(&ScreenCastHarness::ConsumerLoop, this);
}

long ScreenCastHarness::Stop() {
  if (!capture_.joinable()) {
    return 0;
  }
  auto begin = std::chrono::steady_clock::now();
  ScreenCastRequestStop(ctx_);
  capture_.join();
  auto took = std::chrono::steady_clock::now() - begin;
  const uint64_t one = 1;
  (void)!write(stopFd_, &one, sizeof one);
  consumer_.join();
  return std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
}

ConsumerStats ScreenCastHarness::Stats() {
  std::lock_guard<std::mutex> guard(lock_);
  return stats_;
}

bool ScreenCastHarness::WaitFrames(uint32_t n, int timeoutMs) {
  return swtest::WaitFor([&] { return Stats().frames >= n; }, timeoutMs);
}

bool ScreenCastHarness::Control(const char *method, GVariant *args) {
  GError *error = nullptr;
  GVariant *reply = g_dbus_connection_call_sync(
      bus_, "org.gnome.Mutter.ScreenCast", "/org/sightwell/FakeCompositor/ScreenCast",
      "org.sightwell.FakeCompositor.ScreenCast", method, args, nullptr, G_DBUS_CALL_FLAGS_NONE,
      5000, nullptr, &error);
  if (reply == nullptr) {
    g_error_free(error);
    return false;
  }
  g_variant_unref(reply);
  return true;
}

bool ScreenCastHarness::CompositorStats(uint32_t *sessions, uint32_t *starts, uint32_t *frames,
                                        std::string *cursorMode) {
  GVariant *reply = g_dbus_connection_call_sync(
      bus_, "org.gnome.Mutter.ScreenCast", "/org/sightwell/FakeCompositor/ScreenCast",
      "org.sightwell.FakeCompositor.ScreenCast", "GetStats", nullptr, G_VARIANT_TYPE("(uuuus)"),
      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  if (reply == nullptr) {
    return false;
  }
  uint32_t live;
  const char *mode;
  g_variant_get(reply, "(uuuu&s)", sessions, starts, frames, &live, &mode);
  if (cursorMode != nullptr) *cursorMode = mode;
  g_variant_unref(reply);
  return true;
}

void ScreenCastHarness::ConsumerLoop() {
  CaptureFrame frame{};
  CursorUpdate cursor{};
  pollfd fds[3] = {{ctx_->screenFds, POLLIN, 0}, {ctx_->cursorFds, POLLIN, 0}, {stopFd_, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 3, 1000) < 0) continue;
    if (fds[2].revents & POLLIN) break;
    uint64_t unit;
    if ((fds[0].revents & POLLIN) && read(ctx_->screenFds, &unit, sizeof unit) == sizeof unit &&
        PopCaptureBuffer(&ctx_->frameQueue, &frame)) {
      std::lock_guard<std::mutex> guard(lock_);
      ConsumerStats &s = stats_;
      if (frame.captureBufferSize == 0) {
        s.emptyFrames++;
      } else {
        s.frames++;
        if (frame.captureBufferSize != frame.width * frame.height * 4) s.badSize++;
        if (s.sizes.empty() || s.sizes.back() != std::make_pair(frame.width, frame.height)) {
          s.sizes.emplace_back(frame.width, frame.height);
        }
        s.lastWidth = frame.width;
        s.lastHeight = frame.height;
        auto stamp = swstamp::Read(frame.captureBuffer, frame.width * 4);
        if (!stamp) {
          s.badPixels++;
        } else {
          if (static_cast<int64_t>(stamp->counter) <= lastCounter_) s.outOfOrder++;
          lastCounter_ = stamp->counter;
          const auto *px = reinterpret_cast<const uint32_t *>(frame.captureBuffer);
          bool good = true;
          for (uint32_t y = 0; y < frame.height && good; y++) {
            for (uint32_t x = (y == 0 ? 4 : 0); x < frame.width; x++) {
              if (px[size_t{y} * frame.width + x] != fakescene::Pixel(x, y, stamp->counter)) {
                good = false;
                break;
              }
            }
          }
          if (!good) s.badPixels++;
        }
      }
    }
    if ((fds[1].revents & POLLIN) && read(ctx_->cursorFds, &unit, sizeof unit) == sizeof unit &&
        PopCursorBuffer(&ctx_->cursorQueue, &cursor)) {
      const bool send = ctx_->cursorShape.CursorShapeChanged(cursor);
      std::lock_guard<std::mutex> guard(lock_);
      ConsumerStats &s = stats_;
      s.cursors++;
      if (send) {
        s.cursorBitmapsSent++;
        s.shapeIdsSent.push_back(cursor.cursorId);
        const uint32_t shape = cursor.cursorId - 1;
        const bool known = shape < fakescene::kCursorShapeCount &&
                           cursor.width == fakescene::kCursorShapes[shape].width &&
                           cursor.cursorBitmapSize == cursor.width * cursor.height * 4;
        bool good = known;
        for (uint32_t i = 0; good && i < cursor.cursorBitmapSize; i++) {
          good = cursor.cursorBitmap[i] == fakescene::CursorByte(shape, i);
        }
        if (!good) s.badCursorBitmaps++;
      } else {
        s.positionOnly++;
      }
    }
    if (int delay = delayMs_.load(); delay > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
  }
  ReleaseCaptureFrame(&frame);
  ReleaseCursorUpdate(&cursor);
}

}  // namespace captest
