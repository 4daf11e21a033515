// The input event thread ("inputEvent"): owns the EIS connection, feeds the
// EIS descriptor to HandleEvents, sends queued input once the socket has
// room, and retries Init every 500 ms after a disconnect or a failed first
// connection.
#include <poll.h>
#include <sys/timerfd.h>

#include <cerrno>
#include <cstdint>

#include "base/event_fd.h"
#include "input/input.h"
#include "input/input_state.h"
#include "lib/log/log.h"

namespace {

// Poll set entries, in this fixed order.
enum : int { kEisEntry = 0, kWakerEntry = 1, kDisconnectEntry = 2, kTimerEntry = 3, kEntries = 4 };

constexpr long kReconnectPeriodNs = 500000000;

// The reconnect timer: armed, it fires after 500 ms and every 500 ms after.
bool SetTimer(int fd, long ns) {
  itimerspec value{};
  value.it_value.tv_nsec = ns;
  value.it_interval.tv_nsec = ns;
  return timerfd_settime(fd, 0, &value, nullptr) == 0;
}
bool ArmTimer(int fd) { return SetTimer(fd, kReconnectPeriodNs); }
bool DisarmTimer(int fd) { return SetTimer(fd, 0); }

// Reads one 8-byte counter; EAGAIN is not an error.
void DrainCounter(int fd, const char *what) {
  if (ReadEventFd(fd) < 0 && errno != EAGAIN) {
    Log_Error("SightwellRemote: Input event thread: failed to read %s, errno=%d", what, errno);
  }
}

// Readiness is POLLIN alone: a hang-up of the EIS socket also makes it
// readable, which leads HandleEvents to the disconnect.
bool Readable(const pollfd &entry) { return (entry.revents & POLLIN) != 0; }

}  // namespace

bool InputInjector::StartEventThread(const InputWakeFds &fds) {
  if (thread_ != 0) {
    return true;
  }
  fds_ = fds;
  if (!VThreadCreateNamed(InputEventThread, this, "inputEvent", &thread_)) {
    thread_ = 0;
    return false;
  }
  return true;
}

void InputInjector::StopEventThread() {
  if (thread_ == 0) {
    return;
  }
  state_->stop.RequestStop(fds_.inputWaker);
  VThread_DestroyThread(thread_);
  thread_ = 0;
}

void InputInjector::InputEventThread(void *self) {
  static_cast<InputInjector *>(self)->RunInputEventThread();
}

void InputInjector::RunInputEventThread() {
  StopToken &stop = state_->stop;
  Log_Info("SightwellRemote: Input event thread starting, initializing libEI");
  SetDisconnectFd(fds_.disconnect);
  state_->wakeFd.store(fds_.inputWaker, std::memory_order_release);

  UniqueFd timer(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!timer.valid()) {
    Log_Error("SightwellRemote: Input event thread: timerfd_create failed, errno=%d", errno);
    stop.RequestStop(fds_.captureWaker);
    return;
  }

  Init();
  int polledEisFd = GetEisFd();
  if (polledEisFd < 0) {
    Log_Info("SightwellRemote: Input event thread: Initial libEI init failed, will retry every 500ms");
    if (!ArmTimer(timer.get())) {
      Log_Error("SightwellRemote: Input event thread: timerfd_settime failed, errno=%d", errno);
      timer.reset();
      stop.RequestStop(fds_.captureWaker);
      return;
    }
  }

  pollfd fds[kEntries] = {
      {polledEisFd, POLLIN, 0},
      {fds_.inputWaker, POLLIN, 0},
      {fds_.disconnect, POLLIN, 0},
      {timer.get(), POLLIN, 0},
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
      timer.reset();
      Log_Info("SightwellRemote: Input event thread exiting");
      return;
    }
    if (Readable(fds[kWakerEntry])) {
      DrainCounter(fds_.inputWaker, "inputWakerFd");
      if (stop.IsSet()) {
        break;
      }
    }

    if (Readable(fds[kDisconnectEntry])) {
      DrainCounter(fds_.disconnect, "disconnectFd");
      Log_Info("SightwellRemote: Input event thread: disconnect signalled, arming reconnect timer");
      fds[kEisEntry].fd = -1;
      if (!ArmTimer(timer.get())) {
        Log_Error("SightwellRemote: Input event thread: timerfd_settime failed, errno=%d", errno);
      }
    }

    if (Readable(fds[kTimerEntry])) {
      DrainCounter(timer.get(), "reconnectTimerFd");
      Log_Info("SightwellRemote: Input event thread: reconnect timer fired, attempting Init");
      HandleEvents();
      int fd = GetEisFd();
      if (fd >= 0) {
        DisarmTimer(timer.get());
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
      HandleEvents();
    } else if ((fds[kEisEntry].revents & POLLOUT) != 0) {
      SendQueuedInput();
    }

    int fd = GetEisFd();
    if (fd >= 0 && fd != polledEisFd) {
      fds[kEisEntry].fd = fd;
      polledEisFd = fd;
    }
  }

  // The context, the devices and the session stay with the InputInjector:
  // injections may still run until the agent's clean-up, and they release
  // with it.
  Log_Info("SightwellRemote: Input event thread received stop signal, exiting");
  timer.reset();
  Log_Info("SightwellRemote: Input event thread exiting");
}
