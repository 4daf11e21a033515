// Capture start: the session environment files, the user switch and the
// capture event thread.

#include "agent/capture_start.h"

#include <errno.h>
#include <pwd.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "agent/capture_event_thread.h"
#include "agent/channel.h"
#include "agent/remote_context.h"
#include "agent/session_files.h"
#include "lib/log/log.h"

namespace {

constexpr const char kCaptureStartFailed[] = "Failed to start capture event thread";
// The account under which the login screen runs.
constexpr const char kGreeterAccount[] = "takquill";

bool ReadDbusAddress(const char *cardName, char *value) {
  char path[kSessionLineSize];
  snprintf(path, sizeof path, SIGHTWELL_DBUS_ADDRESS_FORMAT, cardName);
  switch (ReadSessionLine(path, value)) {
    case SessionLineResult::kOk:
      return true;
    case SessionLineResult::kOpenFailed:
      Log_Warning("SightwellRemote: Failed to open DBus address file: %s", path);
      break;
    case SessionLineResult::kEmpty:
      Log_Warning("SightwellRemote: Failed to read DBus address from file: %s", path);
      break;
  }
  Log_Error("SightwellRemote: Failed to get DBus address for capture start");
  return false;
}

bool ReadRuntimeDir(const char *cardName, char *value) {
  char path[kSessionLineSize];
  snprintf(path, sizeof path, SIGHTWELL_XDG_RUNTIME_FORMAT, cardName);
  switch (ReadSessionLine(path, value)) {
    case SessionLineResult::kOk:
      return true;
    case SessionLineResult::kOpenFailed:
      Log_Warning("SightwellRemote: Failed to open XDG runtime dir file: %s", path);
      break;
    case SessionLineResult::kEmpty:
      Log_Warning("SightwellRemote: Failed to read XDG runtime dir from file: %s", path);
      break;
  }
  Log_Error("SightwellRemote: Failed to get XDG runtime dir for capture start");
  return false;
}

bool ReadSessionUid(const char *cardName, uid_t *uid) {
  char path[kSessionLineSize];
  char line[kSessionLineSize];
  snprintf(path, sizeof path, SIGHTWELL_UID_FORMAT, cardName);
  switch (ReadSessionLine(path, line)) {
    case SessionLineResult::kOk:
      switch (ParseSessionUid(line, uid)) {
        case UidParseResult::kOk:
          return true;
        case UidParseResult::kInvalid:
          Log_Warning("SightwellRemote: Invalid UID value in file: %s (contents: %s)", path, line);
          break;
        case UidParseResult::kOutOfRange:
          Log_Warning("SightwellRemote: UID value out of range in file: %s", path);
          break;
      }
      break;
    case SessionLineResult::kOpenFailed:
      Log_Warning("SightwellRemote: Failed to open UID file: %s", path);
      break;
    case SessionLineResult::kEmpty:
      Log_Warning("SightwellRemote: Failed to read UID from file: %s", path);
      break;
  }
  Log_Error("SightwellRemote: Failed to get UID for capture start");
  return false;
}

// Whether the real user is the login screen's account.
bool RunningAsGreeterAccount(void) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pwd;
  struct passwd *found = nullptr;
  if (getpwuid_r(getuid(), &pwd, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
    return false;
  }
  return strcmp(found->pw_name, kGreeterAccount) == 0;
}

void AddDeferredAudioToLoop(RemoteContext *ctx, int epollFd) {
  struct epoll_event ev = {};
  ev.events = EPOLLIN;
  ev.data.fd = ctx->audioFd;
  if (epoll_ctl(epollFd, EPOLL_CTL_ADD, ctx->audioFd, &ev) != 0) {
    Log_Error("SightwellRemote: Failed to add deferred audioFd to epoll, errno = %d", errno);
  }
}

// Steps up to the start of the capture event thread. Returns the status to
// report.
ChannelStatus PrepareAndStart(RemoteContext *ctx, const ChannelMessage &command, bool *openedAudio) {
  // Only one capture per agent: a second capture event thread would share
  // the queues, eventfds and thread handles of the first.
  if (ctx->captureEventThread != 0) {
    Log_Error("SightwellRemote: Capture already running, refusing another capture start");
    return CHANNEL_STATUS_FAILED;
  }

  char dbusAddress[kSessionLineSize];
  char runtimeDir[kSessionLineSize];
  uid_t uid = 0;
  if (!ReadDbusAddress(ctx->cardName, dbusAddress)) return CHANNEL_STATUS_DBUS_ADDRESS;
  if (!ReadRuntimeDir(ctx->cardName, runtimeDir)) return CHANNEL_STATUS_XDG_RUNTIME;
  if (!ReadSessionUid(ctx->cardName, &uid)) return CHANNEL_STATUS_UID;

  setenv("DBUS_SESSION_BUS_ADDRESS", dbusAddress, 1);
  setenv("XDG_RUNTIME_DIR", runtimeDir, 1);

  if (ctx->audioFd < 0) {
    int fd = ConnectDeferredAudioSocket(ctx->cardName);
    if (fd >= 0) {
      std::lock_guard<std::mutex> hold(ctx->audioWriteLock);
      ctx->audioFd = fd;
      *openedAudio = true;
    }
  }

  // The raw system call changes only this thread's ids (glibc's wrapper
  // would change every thread's); the capture threads created below inherit
  // them.
  if (getuid() != uid && syscall(SYS_setresuid, uid, uid, uid) != 0) {
    Log_Error("SightwellRemote: Failed to set effective UID to %d", static_cast<int>(uid));
    return CHANNEL_STATUS_FAILED;
  }

  ScreenCastContext *cast = ctx->screenCast;
  size_t n = strnlen(command.connector, sizeof cast->connector - 1);
  memcpy(cast->connector, command.connector, n);
  cast->connector[n] = '\0';

  ctx->watchGreeterSession = RunningAsGreeterAccount();

  if (!VThreadCreateNamed(CaptureEventThread, ctx, "captureEvent", &ctx->captureEventThread)) {
    ctx->captureEventThread = 0;
    Log_Error("SightwellRemote: Failed to create capture event thread");
    return CHANNEL_STATUS_FAILED;
  }
  return CHANNEL_STATUS_SUCCESS;
}

}  // namespace

CaptureStartResult StartCapture(RemoteContext *ctx, int epollFd, const ChannelMessage &command) {
  bool openedAudio = false;
  ChannelStatus status = PrepareAndStart(ctx, command, &openedAudio);
  if (status != CHANNEL_STATUS_SUCCESS) {
    SendErrorMessage(ctx->captureFd, ctx->captureWriteLock, kCaptureStartFailed, static_cast<int32_t>(status));
    // The socket is open and greeted, so the parent may use it even though
    // this start failed: serve it.
    if (openedAudio) AddDeferredAudioToLoop(ctx, epollFd);
    return CaptureStartResult::kRefused;
  }

  ChannelMessage reply = command;
  reply.status = CHANNEL_STATUS_SUCCESS;
  if (SendChannelMessage(ctx->captureFd, ctx->captureWriteLock, reply) != 0) {
    Log_Error("SightwellRemote: Failed to send response to parent process");
    RequestStop(ctx->captureWakerFd);
    return CaptureStartResult::kFatal;
  }
  if (openedAudio) AddDeferredAudioToLoop(ctx, epollFd);
  return CaptureStartResult::kStarted;
}
