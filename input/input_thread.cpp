// The input event thread ("inputEvent"): owns the EIS connection, feeds the
// EIS descriptor to HandleEvents, sends queued input once the socket has
// room, and retries Init every 500 ms after a disconnect or a failed first
// connection.
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "agent/remote_context.h"
#include "input/input.h"
#include "lib/log/log.h"

namespace {

// Poll set entries, in this fixed order.
enum : int { kEisEntry = 0, kWakerEntry = 1, kDisconnectEntry = 2, kTimerEntry = 3, kEntries = 4 };

constexpr long kReconnectPeriodNs = 500000000;

class TimerFd {
 public:
  TimerFd() : fd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {}
  ~TimerFd() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  TimerFd(const TimerFd &) = delete;
  TimerFd &operator=(const TimerFd &) = delete;

  int fd() const { return fd_; }
  void Close() {
    if (fd_ >= 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  bool Arm() { return Set(kReconnectPeriodNs); }
  bool Disarm() { return Set(0); }

 private:
  bool Set(long ns) {
    itimerspec value{};
    value.it_value.tv_nsec = ns;
    value.it_interval.tv_nsec = ns;
    return timerfd_settime(fd_, 0, &value, nullptr) == 0;
  }
  int fd_;
};

// Reads one 8-byte counter; EAGAIN is not an error.
void DrainCounter(int fd, const char *what) {
  uint64_t value;
  if (read(fd, &value, sizeof value) < 0 && errno != EAGAIN) {
    Log_Error("SightwellRemote: Input event thread: failed to read %s, errno=%d", what, errno);
  }
}

// Readiness is POLLIN alone: a hang-up of the EIS socket also makes it
// readable, which leads HandleEvents to the disconnect.
bool Readable(const pollfd &entry) { return (entry.revents & POLLIN) != 0; }

void RunInputEventThread(RemoteContext *ctx) {
  Log_Info("SightwellRemote: Input event thread starting, initializing libEI");
  SetDisconnectFd(ctx->disconnectFd.get());
  SetInputStopWatch(ctx->inputWakerFd.get(), &ctx->agentStopping.flag());

  TimerFd timer;
  if (timer.fd() < 0) {
    Log_Error("SightwellRemote: Input event thread: timerfd_create failed, errno=%d", errno);
    ctx->agentStopping.RequestStop(ctx->captureWakerFd.get());
    return;
  }

  Init();
  int polledEisFd = GetEisFd();
  if (polledEisFd < 0) {
    Log_Info("SightwellRemote: Input event thread: Initial libEI init failed, will retry every 500ms");
    if (!timer.Arm()) {
      Log_Error("SightwellRemote: Input event thread: timerfd_settime failed, errno=%d", errno);
      timer.Close();
      ctx->agentStopping.RequestStop(ctx->captureWakerFd.get());
      return;
    }
  }

  pollfd fds[kEntries] = {
      {polledEisFd, POLLIN, 0},
      {ctx->inputWakerFd.get(), POLLIN, 0},
      {ctx->disconnectFd.get(), POLLIN, 0},
      {timer.fd(), POLLIN, 0},
  };

  for (;;) {
    // Queued input that waits for room on the EIS socket is sent from here
    // once the socket is writable again, even if no more input comes.
    fds[kEisEntry].events =
        static_cast<short>(POLLIN | (QueuedInputWaitsForRoom() ? POLLOUT : 0));
    if (poll(fds, kEntries, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      Log_Error("SightwellRemote: Input event thread: poll failed, errno = %d", errno);
      timer.Close();
      Log_Info("SightwellRemote: Input event thread exiting");
      return;
    }
    if (Readable(fds[kWakerEntry])) {
      DrainCounter(ctx->inputWakerFd.get(), "inputWakerFd");
      if (ctx->agentStopping.IsSet()) {
        break;
      }
    }

    if (Readable(fds[kDisconnectEntry])) {
      DrainCounter(ctx->disconnectFd.get(), "disconnectFd");
      Log_Info("SightwellRemote: Input event thread: disconnect signalled, arming reconnect timer");
      fds[kEisEntry].fd = -1;
      if (!timer.Arm()) {
        Log_Error("SightwellRemote: Input event thread: timerfd_settime failed, errno=%d", errno);
      }
    }

    if (Readable(fds[kTimerEntry])) {
      DrainCounter(timer.fd(), "reconnectTimerFd");
      Log_Info("SightwellRemote: Input event thread: reconnect timer fired, attempting Init");
      HandleEvents(&ctx->ptr, &ctx->kbd, &ctx->abs, &ctx->touch);
      int fd = GetEisFd();
      if (fd >= 0) {
        timer.Disarm();
        int previous = fds[kEisEntry].fd;
        fds[kEisEntry].fd = fd;
        if (previous >= 0) {
          Log_Info("SightwellRemote: Input event thread: reconnected, new EIS fd=%d", fd);
        } else {
          Log_Info("SightwellRemote: Input event thread: successfully initialized libEI, EIS fd=%d", fd);
        }
        polledEisFd = fd;
      }
    }

    if (Readable(fds[kEisEntry])) {
      HandleEvents(&ctx->ptr, &ctx->kbd, &ctx->abs, &ctx->touch);
    } else if ((fds[kEisEntry].revents & POLLOUT) != 0) {
      SendQueuedInput();
    }

    int fd = GetEisFd();
    if (fd >= 0 && fd != polledEisFd) {
      fds[kEisEntry].fd = fd;
      polledEisFd = fd;
    }
  }

  // The context, the devices and the session stay for the rest of the
  // process.
  Log_Info("SightwellRemote: Input event thread received stop signal, exiting");
  timer.Close();
  Log_Info("SightwellRemote: Input event thread exiting");
}

}  // namespace

void InputEventThread(void *data) {
  RunInputEventThread(static_cast<RemoteContext *>(data));
}
