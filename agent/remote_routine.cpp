// The remote routine: set-up, the epoll loop over the parent's sockets and
// remoteWakerFd, command dispatch and the ordered clean-up.

#include "agent/remote_routine.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "agent/capture_start.h"
#include "agent/channel.h"
#include "agent/remote_audio.h"
#include "agent/remote_context.h"
#include "base/event_fd.h"
#include "capture/screen_capture.h"
#include "lib/log/log.h"
#include "lib/thread/vthread.h"

namespace {

constexpr int kMaxEvents = 16;
constexpr size_t kCardNameChars = 6;
// How long a stop waits for the capture event thread before it gives up the
// frame write that holds it.
constexpr unsigned kCaptureJoinMs = 2000;

// What the loop does after an event.
enum class Next { kServe, kCleanExit, kErrorExit, kFatalExit };

class Routine {
 public:
  explicit Routine(RemoteContext &ctx) : ctx_(ctx) {}

  int Run(const char *cardName, bool greeterWorkflow);

 private:
  bool CreateEventFds();
  bool AddToLoop(int fd);
  Next Serve();
  Next OnControlReadable();
  void OnAudioReadable();
  void KeepAudioSocketInTurn();
  void OpenAudioRecovery();
  Next OnWakerReadable();
  void Stop();
  void JoinCaptureEventThread();
  void StopAudioIfRunning();
  int FatalExit();
  int CleanUp(int result);

  RemoteContext &ctx_;
  UniqueFd epollFd_;
  bool audioSocketParked_ = false;  // out of the epoll set while a start is pending
};

// Each eventfd with its log text and the text the parent receives.
struct EventFdEntry {
  UniqueFd RemoteContext::*field;
  int flags;
  const char *logText;
  const char *parentText;
};

constexpr int kWakerFlags = EFD_NONBLOCK | EFD_CLOEXEC;
constexpr int kCountFlags = EFD_NONBLOCK | EFD_CLOEXEC | EFD_SEMAPHORE;

const EventFdEntry kEventFds[] = {
    {&RemoteContext::remoteWakerFd, kWakerFlags,
     "SightwellRemote: Failed to create eventfd for remote routine",
     "Failed to create eventfd for remote routine"},
    {&RemoteContext::captureWakerFd, kWakerFlags,
     "SightwellRemote: Failed to create eventfd for capture event thread",
     "Failed to create eventfd for capture event thread"},
    {&RemoteContext::inputWakerFd, kWakerFlags,
     "SightwellRemote: Failed to create eventfd for input event thread",
     "Failed to create eventfd for input event thread"},
    {&RemoteContext::disconnectFd, kWakerFlags,
     "SightwellRemote: Failed to create eventfd for EIS disconnect notification",
     "Failed to create eventfd for EIS disconnect notification"},
    {&RemoteContext::logoutFd, kWakerFlags,
     "SightwellRemote: Failed to create eventfd for logout events",
     "Failed to create eventfd for logout events"},
    {&RemoteContext::screenFds, kCountFlags,
     "SightwellRemote: Failed to create eventfd for screen capture events",
     "Failed to create eventfd for screen capture events"},
    {&RemoteContext::cursorFds, kCountFlags,
     "SightwellRemote: Failed to create eventfd for cursor capture events",
     "Failed to create eventfd for cursor capture events"},
};

bool Routine::CreateEventFds() {
  for (const EventFdEntry &entry : kEventFds) {
    UniqueFd fd(eventfd(0, entry.flags));
    if (!fd.valid()) {
      Log_Error("%s", entry.logText);
      SendErrorMessage(ctx_.controlFd.get(), ctx_.controlWriteLock, entry.parentText, -1);
      for (const EventFdEntry &made : kEventFds) {
        (ctx_.*made.field).reset();
      }
      return false;
    }
    ctx_.*entry.field = std::move(fd);
  }
  return true;
}

bool Routine::AddToLoop(int fd) {
  struct epoll_event ev = {};
  ev.events = EPOLLIN;
  ev.data.fd = fd;
  return epoll_ctl(epollFd_.get(), EPOLL_CTL_ADD, fd, &ev) == 0;
}

int Routine::Run(const char *cardName, bool greeterWorkflow) {
  size_t n = strnlen(cardName, kCardNameChars);
  memcpy(ctx_.cardName, cardName, n);
  ctx_.cardName[n] = '\0';

  ctx_.controlFd.reset(ConnectControlSocket(ctx_.cardName, greeterWorkflow));
  if (ctx_.controlFd.get() < 0) {
    return -1;
  }
  if (!greeterWorkflow) {
    ctx_.audio.AdoptSocket(UniqueFd(ConnectAudioSocket(ctx_.cardName)));
  }

  epollFd_.reset(epoll_create1(EPOLL_CLOEXEC));
  if (!epollFd_.valid()) {
    Log_Error("SightwellRemote: Capture event thread: epoll_create1 failed, errno = %d", errno);
    SendErrorMessage(ctx_.controlFd.get(), ctx_.controlWriteLock,
                     "Failed to create eventfd for remote routine", -1);
    ctx_.controlFd.reset();
    ctx_.audio.CloseSocket();
    return -1;
  }
  if (!CreateEventFds()) {
    epollFd_.reset();
    ctx_.controlFd.reset();
    ctx_.audio.CloseSocket();
    return -1;
  }

  if (!AddToLoop(ctx_.controlFd.get())) {
    Log_Error("SightwellRemote: Failed to add captureFd to epoll instance, errno = %d", errno);
    return FatalExit();
  }
  if (!AddToLoop(ctx_.remoteWakerFd.get())) {
    Log_Error("SightwellRemote: Failed to add remoteWakerFd to epoll instance, errno = %d", errno);
    return FatalExit();
  }
  if (ctx_.audio.audioFd() >= 0 && !AddToLoop(ctx_.audio.audioFd())) {
    Log_Error("SightwellRemote: Failed to add audioFd to epoll instance, errno = %d", errno);
    return FatalExit();
  }
  OpenAudioRecovery();

  ctx_.screenCast =
      std::make_unique<ScreenCapture>(std::move(ctx_.screenFds), std::move(ctx_.cursorFds));
  if (ctx_.screenCast->LoadPipeWire() != 0) {
    Log_Error("SightwellRemote: Failed to initialize PipeWire");
    return FatalExit();
  }

  switch (Serve()) {
    case Next::kCleanExit:
      return CleanUp(0);
    case Next::kErrorExit:
      return CleanUp(-1);
    case Next::kFatalExit:
    case Next::kServe:
      break;
  }
  return FatalExit();
}

Next Routine::Serve() {
  struct epoll_event events[kMaxEvents];
  for (;;) {
    int count = epoll_wait(epollFd_.get(), events, kMaxEvents, -1);
    if (count < 0) {
      if (errno == EINTR) continue;
      Log_Error("SightwellRemote: Failed in epoll_wait, errno = %d", errno);
      return Next::kFatalExit;
    }
    for (int i = 0; i < count; i++) {
      int fd = events[i].data.fd;
      Next next = Next::kServe;
      if (fd == ctx_.controlFd.get()) {
        next = OnControlReadable();
      } else if (ctx_.audio.audioFd() >= 0 && fd == ctx_.audio.audioFd()) {
        OnAudioReadable();
      } else if (fd == ctx_.remoteWakerFd.get()) {
        next = OnWakerReadable();
      } else if (ctx_.audio.audioRetryFd() >= 0 && fd == ctx_.audio.audioRetryFd()) {
        ctx_.audio.ServeAudioRecovery();
        KeepAudioSocketInTurn();
      }
      if (next != Next::kServe) return next;
    }
  }
}

Next Routine::OnControlReadable() {
  ChannelMessage msg;
  if (ReceiveChannelMessage(ctx_.controlFd.get(), &msg) < 0) {
    Log_Error("SightwellRemote: Failed to receive message from parent process (parent died?)");
    ctx_.agentStopping.RequestStop(ctx_.captureWakerFd.get());
    return Next::kFatalExit;
  }

  bool stopCommand = false;
  bool stoppingBefore = false;
  switch (msg.type) {
    case REMOTE_CAPTURE_START:
      switch (StartCapture(&ctx_, epollFd_.get(), msg)) {
        case CaptureStartResult::kStarted:
          break;
        case CaptureStartResult::kRefused:
          break;
        case CaptureStartResult::kFatal:
          return Next::kFatalExit;
      }
      break;
    case REMOTE_STOP:
      stopCommand = true;
      stoppingBefore = ctx_.agentStopping.IsSet();
      Stop();
      break;
    case REMOTE_MOUSE_EVENT: {
      MouseRecord record;
      memcpy(&record, &msg.mouse, sizeof record);
      ctx_.input.InjectMouseEvent(record);
      break;
    }
    case REMOTE_KEY_EVENT:
      ctx_.input.InjectKeyEvent(msg.scancode, static_cast<uint8_t>(msg.keyDown));
      break;
    default:
      Log_Warning("SightwellRemote: Received unknown command from parent process: %d",
                  static_cast<int>(msg.type));
      ctx_.agentStopping.RequestStop(ctx_.captureWakerFd.get());
      return Next::kFatalExit;
  }

  // Only the parent's REMOTE_STOP ends the routine here. A stop that another
  // thread requested (an error, or a logout) while this command was being
  // dispatched is reported by remoteWakerFd, which that thread has written
  // or is about to write: that is where its own lines and status come from.
  // The same holds when such a stop came before the parent's REMOTE_STOP.
  if (stopCommand && (!stoppingBefore || ctx_.logoutNotified.load())) {
    Log_Info("SightwellRemote: REMOTE_STOP processed, exiting remote routine cleanly");
    StopAudioIfRunning();
    return Next::kCleanExit;
  }
  return Next::kServe;
}

void Routine::OnAudioReadable() {
  // Read without waiting: a record the parent never completes must not keep
  // the routine from the control socket.
  if (!ctx_.audio.ServeAudioSocket()) {
    epoll_ctl(epollFd_.get(), EPOLL_CTL_DEL, ctx_.audio.audioFd(), nullptr);
    ctx_.audio.CloseSocket();
    return;
  }
  KeepAudioSocketInTurn();
}

// While a REMOTE_AUDIO_START waits for its next attempt, the commands behind
// it on the audio socket wait their turn unread. The socket leaves the
// level-triggered set meanwhile (left in, its unread bytes would wake the
// loop at once, again and again) and comes back once the echo is out.
void Routine::KeepAudioSocketInTurn() {
  if (ctx_.audio.audioFd() < 0 || audioSocketParked_ == ctx_.audio.AudioStartPending()) {
    return;
  }
  if (!audioSocketParked_) {
    epoll_ctl(epollFd_.get(), EPOLL_CTL_DEL, ctx_.audio.audioFd(), nullptr);
    audioSocketParked_ = true;
    return;
  }
  audioSocketParked_ = false;
  if (!AddToLoop(ctx_.audio.audioFd())) {
    Log_Error("SightwellRemote: Failed to add audioFd to epoll instance, errno = %d", errno);
    ctx_.audio.CloseSocket();
  }
}

// Without the timer audio still works; a stream whose daemon went away then
// waits for the parent's next REMOTE_AUDIO_START instead of reconnecting.
void Routine::OpenAudioRecovery() {
  if (ctx_.audio.OpenAudioRecoveryTimer() && !AddToLoop(ctx_.audio.audioRetryFd())) {
    Log_Error("SightwellRemote: Failed to add audio recovery timer to epoll, errno = %d", errno);
    ctx_.audio.CloseAudioRecoveryTimer();
  }
}

Next Routine::OnWakerReadable() {
  if (ReadEventFd(ctx_.remoteWakerFd.get()) < 0 && errno != EAGAIN) {
    Log_Error("SightwellRemote: Failed to read from remoteWakerFd, errno = %d", errno);
  }
  if (!ctx_.agentStopping.IsSet()) {
    return Next::kServe;
  }
  Next next;
  if (ctx_.logoutNotified.load()) {
    Log_Info("SightwellRemote: Remote routine received stop signal due to logout, exiting cleanly");
    next = Next::kCleanExit;
  } else {
    Log_Info("SightwellRemote: Remote routine received stop signal due to error, exiting with error code");
    next = Next::kErrorExit;
  }
  StopAudioIfRunning();
  return next;
}

// The capture event thread writes frames to a blocking socket: a parent
// that stopped reading holds it in a write for as long as that parent lives.
// After a bounded wait the control socket is shut down, which fails that
// write at once; the thread then sees the stop and ends.
void Routine::JoinCaptureEventThread() {
  if (!VThread_DestroyThreadWithin(ctx_.captureEventThread, kCaptureJoinMs)) {
    Log_Warning("SightwellRemote: Capture event thread still busy %u ms after the stop "
                "(parent not reading?), shutting down the control socket",
                kCaptureJoinMs);
    if (shutdown(ctx_.controlFd.get(), SHUT_RDWR) != 0) {
      Log_Warning("SightwellRemote: Failed to shut down the control socket: %s", strerror(errno));
    }
    VThread_DestroyThread(ctx_.captureEventThread);
  }
  ctx_.captureEventThread = 0;
}

void Routine::Stop() {
  ctx_.agentStopping.RequestStop(ctx_.captureWakerFd.get());
  if (ctx_.captureEventThread != 0) {
    JoinCaptureEventThread();
  } else {
    ctx_.agentStopping.RequestStop(ctx_.remoteWakerFd.get());
  }
  if (ctx_.screenCast) {
    ctx_.screenCast->UnloadPipeWire();
  }
  StopAudioIfRunning();
}

void Routine::StopAudioIfRunning() {
  if (ctx_.audio.running()) {
    ctx_.audio.StopAudioCapture();
  }
}

int Routine::FatalExit() {
  StopAudioIfRunning();
  // The capture event thread ends first: the error record would otherwise
  // wait behind a frame write, and for ever when the parent stopped reading.
  if (ctx_.captureEventThread != 0) {
    ctx_.agentStopping.RequestStop(ctx_.captureWakerFd.get());
    JoinCaptureEventThread();
  }
  SendErrorMessage(ctx_.controlFd.get(), ctx_.controlWriteLock,
                   "An unrecoverable error occurred in remote routine", -1);
  return CleanUp(-1);
}

int Routine::CleanUp(int result) {
  if (ctx_.captureEventThread != 0) {
    ctx_.agentStopping.RequestStop(ctx_.captureWakerFd.get());
    JoinCaptureEventThread();
  }
  // Audio may still run when a set-up step failed before the loop.
  StopAudioIfRunning();
  // No stream is left to fire the recovery timer.
  ctx_.audio.CloseAudioRecoveryTimer();
  // Every thread is joined, so nothing borrows a descriptor any more. They
  // close here, before PipeWire is unloaded, rather than at the context's
  // release (which would unload first): the order this routine always had.
  ctx_.inputWakerFd.reset();
  ctx_.remoteWakerFd.reset();
  ctx_.captureWakerFd.reset();
  ctx_.disconnectFd.reset();
  ctx_.logoutFd.reset();
  ctx_.controlFd.reset();
  ctx_.screenFds.reset();
  ctx_.cursorFds.reset();
  ctx_.audio.CloseSocket();
  epollFd_.reset();
  // Unloads PipeWire, then releases the capture (its thread ended with the
  // capture event thread).
  ctx_.screenCast.reset();
  return result;
}

}  // namespace

int RemoteRoutine(const char *cardName, bool greeterWorkflow) {
  // Shared by reference with every thread the routine starts; all of them
  // are joined before it is released.
  auto ctx = std::make_unique<RemoteContext>();
  Routine routine(*ctx);
  return routine.Run(cardName, greeterWorkflow);
}
