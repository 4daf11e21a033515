// Capture event thread: start-up of the capture threads, delivery of frames,
// cursor updates and logout notices, and the ordered shutdown.

#include "agent/capture_event_thread.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "agent/channel.h"
#include "agent/remote_context.h"
#include "agent/session_thread.h"
#include "base/event_fd.h"
#include "base/sleep.h"
#include "capture/screen_capture.h"
#include "lib/log/log.h"
#include "lib/thread/vthread.h"

namespace {

constexpr int kMaxEvents = 16;
constexpr int kBusWaitTicks = 30;
constexpr unsigned kBusWaitTickMs = 100;
constexpr int kBusWaitLogEvery = 10;
// One inotify event with a name of up to 255 bytes and its terminator.
constexpr size_t kInotifyReadSize = sizeof(struct inotify_event) + 256;

// Reads an eventfd's counter (one unit in semaphore mode). false on an
// error other than EAGAIN, with errno kept.
bool DrainEventFd(int fd) { return ReadEventFd(fd) == 0 || errno == EAGAIN; }

class CaptureEvents {
 public:
  explicit CaptureEvents(RemoteContext &ctx) : ctx_(ctx) {}
  void Run();

 private:
  bool SetUp();
  bool OpenSessionWatcher();
  bool AddToLoop(int fd);
  bool WaitForSessionBus();
  bool StartWorkers();
  void Serve();
  bool OnLogout();
  bool OnWaker();
  void OnScreen();
  void OnCursor();
  bool OnSessionWatcher();
  void ExitSequence();
  void CloseSessionWatcher();
  void CloseEarly();

  RemoteContext &ctx_;
  UniqueFd epollFd_;
  UniqueFd watcherFd_;  // sessionWatcherFd
  int watchId_ = -1;
  CaptureFrame frame_{};
  CursorUpdate cursor_{};
};

bool CaptureEvents::AddToLoop(int fd) {
  struct epoll_event ev = {};
  ev.events = EPOLLIN;
  ev.data.fd = fd;
  return epoll_ctl(epollFd_.get(), EPOLL_CTL_ADD, fd, &ev) == 0;
}

bool CaptureEvents::OpenSessionWatcher() {
  watcherFd_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!watcherFd_.valid()) {
    Log_Warning("SightwellRemote: Failed to initialize inotify: %s", strerror(errno));
    Log_Error("SightwellRemote: Failed to create session notify watcher for greeter session");
    return false;
  }
  char path[kSocketPathSize];
  snprintf(path, sizeof path, SIGHTWELL_DBUS_ADDRESS_FORMAT, ctx_.cardName);
  watchId_ = inotify_add_watch(watcherFd_.get(), path, IN_MODIFY | IN_DELETE_SELF);
  if (watchId_ < 0) {
    Log_Warning("SightwellRemote: Failed to add inotify watch for file: %s due to error: %s", path,
                strerror(errno));
    Log_Error("SightwellRemote: Failed to create session notify watcher for greeter session");
    return false;
  }
  if (!AddToLoop(watcherFd_.get())) {
    Log_Error("SightwellRemote: Capture event thread: Failed to add sessionWatcherFd to epoll instance, errno = %d",
              errno);
    return false;
  }
  return true;
}

// Steps before the session thread exists; a failure ends the thread at once.
bool CaptureEvents::SetUp() {
  epollFd_.reset(epoll_create1(EPOLL_CLOEXEC));
  if (!epollFd_.valid()) {
    Log_Error("SightwellRemote: Capture event thread: epoll_create1 failed, errno = %d", errno);
    return false;
  }
  if (ctx_.watchGreeterSession && !OpenSessionWatcher()) {
    return false;
  }
  if (!AddToLoop(ctx_.logoutFd.get())) {
    Log_Error("SightwellRemote: Capture event thread: Failed to add logoutFd to epoll instance, errno = %d",
              errno);
    return false;
  }
  if (!AddToLoop(ctx_.captureWakerFd.get())) {
    Log_Error("SightwellRemote: Capture event thread: Failed to add captureWakerFd to epoll instance, errno = %d",
              errno);
    return false;
  }

  SessionBusState &bus = ctx_.sessionBus;
  bus.logoutFd = ctx_.logoutFd.get();
  bus.stop.store(false);
  bus.connected.store(false);
  if (!VThreadCreateNamed(SessionThread, &bus, "session", &ctx_.sessionThread)) {
    ctx_.sessionThread = 0;
    Log_Error("SightwellRemote: Failed to create session thread");
    return false;
  }
  Log_Info("SightwellRemote: Started session event thread with thread ID %lu",
           static_cast<unsigned long>(ctx_.sessionThread));
  Log_Info("SightwellRemote: Waiting for DBus connection to be established...");
  return true;
}

void CaptureEvents::CloseSessionWatcher() {
  if (watcherFd_.valid()) {
    RemoveSessionWatch(std::move(watcherFd_), watchId_);
  }
  watchId_ = -1;
}

void CaptureEvents::CloseEarly() {
  CloseSessionWatcher();
  epollFd_.reset();
}

// true when the bus is ready; false when the thread must wind down.
bool CaptureEvents::WaitForSessionBus() {
  int ticks = 0;
  while (!ctx_.sessionBus.connected.load() && !ctx_.agentStopping.IsSet() && ticks < kBusWaitTicks) {
    SleepMs(kBusWaitTickMs);
    ticks++;
    if (ticks % kBusWaitLogEvery == 0) {
      Log_Info("SightwellRemote: Still waiting for DBus connection... (%d/%d ticks)", ticks,
               kBusWaitTicks);
    }
  }
  if (ctx_.agentStopping.IsSet()) {
    Log_Info("SightwellRemote: Stop signal received while waiting for DBus, exiting");
    return false;
  }
  if (ticks >= kBusWaitTicks) {
    Log_Error("SightwellRemote: Timeout waiting for DBus connection after 3 seconds, aborting");
    ctx_.agentStopping.RequestStop(ctx_.remoteWakerFd.get());
    return false;
  }
  Log_Info("SightwellRemote: DBus connection ready, starting input event thread");
  return true;
}

bool CaptureEvents::StartWorkers() {
  if (!ctx_.input.StartEventThread(
          {ctx_.inputWakerFd.get(), ctx_.disconnectFd.get(), ctx_.captureWakerFd.get()})) {
    Log_Error("SightwellRemote: Failed to create input event thread");
    ctx_.agentStopping.RequestStop(ctx_.remoteWakerFd.get());
    return false;
  }
  Log_Info("SightwellRemote: Started libEI input event thread with thread ID %lu",
           static_cast<unsigned long>(ctx_.input.EventThreadId()));

  ScreenCapture &capture = *ctx_.screenCast;
  if (!AddToLoop(capture.screenFds())) {
    Log_Error("SightwellRemote: Capture event thread: Failed to add screenFds to epoll instance, errno = %d",
              errno);
    ctx_.agentStopping.RequestStop(ctx_.remoteWakerFd.get());
    return false;
  }
  if (!AddToLoop(capture.cursorFds())) {
    Log_Error("SightwellRemote: Capture event thread: Failed to add cursorFds to epoll instance, errno = %d",
              errno);
    ctx_.agentStopping.RequestStop(ctx_.remoteWakerFd.get());
    return false;
  }

  if (!capture.Start()) {
    Log_Error("SightwellRemote: Failed to create capture thread");
    ctx_.agentStopping.RequestStop(ctx_.remoteWakerFd.get());
    return false;
  }
  return true;
}

// false when the notice could not be sent (the thread then ends).
bool CaptureEvents::OnLogout() {
  Log_Info("SightwellRemote: Logout detected in capture event thread\n");
  if (ReadEventFd(ctx_.logoutFd.get()) < 0) {
    Log_Error("SightwellRemote: Failed to read from logoutFd, errno = %d", errno);
  }
  ctx_.logoutNotified.store(true);
  if (SendLogoutMessage(ctx_.controlFd.get(), ctx_.controlWriteLock) != 0) {
    Log_Error("SightwellRemote: Failed to send logout notification to parent process");
    return false;
  }
  return true;
}

// false when a stop was requested.
bool CaptureEvents::OnWaker() {
  if (!DrainEventFd(ctx_.captureWakerFd.get())) {
    Log_Error("SightwellRemote: Failed to read from captureWakerFd, errno = %d", errno);
  }
  if (ctx_.agentStopping.IsSet()) {
    Log_Info("SightwellRemote: Capture event thread received stop signal, exiting");
    return false;
  }
  return true;
}

void CaptureEvents::OnScreen() {
  if (!DrainEventFd(ctx_.screenCast->screenFds())) {
    Log_Error("SightwellRemote: Failed to read from screenFds, errno = %d", errno);
  }
  if (!ctx_.screenCast->PopFrame(&frame_)) {
    return;
  }
  // A format change empties the frames still waiting (their pixels have the
  // old size); such a slot pops without pixels and is not a frame: a record
  // without its frame would only tell the parent the new size with nothing
  // to show.
  if (frame_.captureBufferSize == 0) {
    return;
  }
  if (SendScreenBuffer(ctx_.controlFd.get(), ctx_.controlWriteLock, &frame_) != 0) {
    Log_Error("SightwellRemote: Failed to send screen capture buffer to parent process");
  }
}

void CaptureEvents::OnCursor() {
  ScreenCapture &capture = *ctx_.screenCast;
  if (!DrainEventFd(capture.cursorFds())) {
    Log_Error("SightwellRemote: Failed to read from cursorFds, errno = %d", errno);
  }
  if (capture.PopCursor(&cursor_) &&
      SendCursorBuffer(ctx_.controlFd.get(), ctx_.controlWriteLock, &cursor_,
                       capture.CursorShapeChanged(cursor_)) != 0) {
    Log_Error("SightwellRemote: Failed to send cursor buffer to parent process");
  }
}

// false when the notice could not be sent.
bool CaptureEvents::OnSessionWatcher() {
  char events[kInotifyReadSize];
  if (read(watcherFd_.get(), events, sizeof events) < 0 && errno != EAGAIN) {
    Log_Error("SightwellRemote: Failed to read from sessionWatcherFd, errno = %d", errno);
  }
  ctx_.logoutNotified.store(true);
  if (SendLogoutMessage(ctx_.controlFd.get(), ctx_.controlWriteLock) != 0) {
    Log_Error("SightwellRemote: Failed to send logout notification to parent process");
    return false;
  }
  // The greeter's session ends once: report it once.
  CloseSessionWatcher();
  return true;
}

void CaptureEvents::Serve() {
  struct epoll_event events[kMaxEvents];
  for (;;) {
    int count = epoll_wait(epollFd_.get(), events, kMaxEvents, -1);
    if (count < 0) {
      if (errno == EINTR) continue;
      Log_Error("SightwellRemote: Capture event thread: epoll_wait failed, errno = %d", errno);
      return;
    }
    for (int i = 0; i < count; i++) {
      int fd = events[i].data.fd;
      if (fd == ctx_.logoutFd.get()) {
        if (!OnLogout()) return;
      } else if (fd == ctx_.captureWakerFd.get()) {
        if (!OnWaker()) return;
      } else if (fd == ctx_.screenCast->screenFds()) {
        OnScreen();
      } else if (fd == ctx_.screenCast->cursorFds()) {
        OnCursor();
      } else if (watcherFd_.valid() && fd == watcherFd_.get()) {
        if (!OnSessionWatcher()) return;
      } else {
        Log_Warning("SightwellRemote: Received event on unknown fd %d\n", fd);
      }
    }
  }
}

// Not the reverse of the start: the epoll set goes first, the session
// watcher only after the threads have been joined.
void CaptureEvents::ExitSequence() {
  epollFd_.reset();
  ctx_.input.StopEventThread();
  if (ctx_.sessionThread != 0) {
    ctx_.sessionBus.stop.store(true);
    SessionThreadQuit(&ctx_.sessionBus);
    VThread_DestroyThread(ctx_.sessionThread);
    ctx_.sessionThread = 0;
  }
  ctx_.screenCast->Stop();
  ReleaseCaptureFrame(&frame_);
  ReleaseCursorUpdate(&cursor_);
  CloseSessionWatcher();
  ctx_.agentStopping.RequestStop(ctx_.remoteWakerFd.get());
  Log_Info("SightwellRemote: Capture event thread exiting");
}

void CaptureEvents::Run() {
  if (!SetUp()) {
    CloseEarly();
    ctx_.agentStopping.RequestStop(ctx_.remoteWakerFd.get());
    return;
  }
  if (WaitForSessionBus() && StartWorkers()) {
    Serve();
  }
  ExitSequence();
}

}  // namespace

void RemoveSessionWatch(UniqueFd fd, int wd) {
  if (wd >= 0 && inotify_rm_watch(fd.get(), wd) != 0) {
    Log_Warning("SightwellRemote: Failed to remove inotify watch, error: %s", strerror(errno));
  }
}

void CaptureEventThread(void *data) {
  CaptureEvents(*static_cast<RemoteContext *>(data)).Run();
}
