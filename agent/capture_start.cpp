// Capture start: the session environment files, the user switch and the
// capture event thread.

#include "agent/capture_start.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent/capture_event_thread.h"
#include "agent/channel.h"
#include "agent/remote_context.h"
#include "agent/session_files.h"
#include "lib/log/log.h"
#include "lib/misc/unique_fd.h"

namespace {

constexpr const char kCaptureStartFailed[] = "Failed to start capture event thread";
// The account under which the login screen runs.
constexpr const char kGreeterAccount[] = "takquill";
// The group of a uid that has no account entry: the kernel's overflow group
// ("nogroup"), which owns nothing.
constexpr gid_t kNoGroup = 65534;

// The account the parent started the agent under, read when the program
// loads and so before any user switch: besides root, the only owner whose
// session files are trusted.
const uid_t gParentUid = getuid();

// One per-session file: where it is and what its failures log and answer.
struct SessionFileRule {
  const char *pathFormat;
  const char *openFailed;  // warning with the path
  const char *readFailed;  // warning with the path
  const char *failed;      // error
  ChannelStatus status;
  // A line of nothing but white space is as good as no line: an address or
  // a folder cannot be blank, and accepting one only fails 3 s later.
  bool blankIsEmpty;
};

const SessionFileRule kDbusAddressFile = {
    SIGHTWELL_DBUS_ADDRESS_FORMAT,
    "SightwellRemote: Failed to open DBus address file: %s",
    "SightwellRemote: Failed to read DBus address from file: %s",
    "SightwellRemote: Failed to get DBus address for capture start",
    CHANNEL_STATUS_DBUS_ADDRESS,
    true,
};
const SessionFileRule kRuntimeDirFile = {
    SIGHTWELL_XDG_RUNTIME_FORMAT,
    "SightwellRemote: Failed to open XDG runtime dir file: %s",
    "SightwellRemote: Failed to read XDG runtime dir from file: %s",
    "SightwellRemote: Failed to get XDG runtime dir for capture start",
    CHANNEL_STATUS_XDG_RUNTIME,
    true,
};
const SessionFileRule kUidFile = {
    SIGHTWELL_UID_FORMAT,
    "SightwellRemote: Failed to open UID file: %s",
    "SightwellRemote: Failed to read UID from file: %s",
    "SightwellRemote: Failed to get UID for capture start",
    CHANNEL_STATUS_UID,
    false,  // a blank uid line is an invalid number and logged as one
};

// Reads the first line of one session file into line; the path goes to
// path (kSessionLineSize bytes each). Logs every failure.
bool ReadSessionFile(const SessionFileRule &file, const char *cardName, char *path, char *line) {
  snprintf(path, kSessionLineSize, file.pathFormat, cardName);
  char reason[kSessionReasonSize];
  switch (ReadSessionLine(path, gParentUid, line, reason)) {
    case SessionLineResult::kOk:
      if (!file.blankIsEmpty || !IsBlankLine(line)) return true;
      Log_Warning(file.readFailed, path);
      break;
    case SessionLineResult::kRefused:
      Log_Warning("SightwellRemote: Refusing session file %s: %s", path, reason);
      Log_Warning(file.openFailed, path);
      break;
    case SessionLineResult::kOpenFailed:
      Log_Warning(file.openFailed, path);
      break;
    case SessionLineResult::kEmpty:
      Log_Warning(file.readFailed, path);
      break;
  }
  Log_Error("%s", file.failed);
  return false;
}

bool ReadSessionUid(const char *cardName, uid_t *uid) {
  char path[kSessionLineSize];
  char line[kSessionLineSize];
  if (!ReadSessionFile(kUidFile, cardName, path, line)) return false;
  switch (ParseSessionUid(line, uid)) {
    case UidParseResult::kOk:
      return true;
    case UidParseResult::kInvalid: {
      // Whatever the file holds, the log gets only a short printable part.
      char excerpt[48];
      PrintableExcerpt(line, 32, excerpt, sizeof excerpt);
      Log_Warning("SightwellRemote: Invalid UID value in file: %s (contents: %s)", path, excerpt);
      break;
    }
    case UidParseResult::kOutOfRange:
      Log_Warning("SightwellRemote: UID value out of range in file: %s", path);
      break;
  }
  Log_Error("%s", kUidFile.failed);
  return false;
}

// The account database's entry for uid: its name and primary group. false
// when uid has no entry (or the lookup failed).
bool LookUpAccount(uid_t uid, std::string *name, gid_t *gid) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 16384);
  struct passwd pwd;
  struct passwd *found = nullptr;
  int rc;
  while ((rc = getpwuid_r(uid, &pwd, buf.data(), buf.size(), &found)) == ERANGE &&
         buf.size() < (1u << 20)) {
    buf.resize(buf.size() * 2);
  }
  if (rc != 0 || found == nullptr) return false;
  *name = found->pw_name;
  *gid = found->pw_gid;
  return true;
}

// Whether the real user is the login screen's account.
bool RunningAsGreeterAccount(void) {
  std::string name;
  gid_t gid;
  return LookUpAccount(getuid(), &name, &gid) && name == kGreeterAccount;
}

// The groups uid runs with: the account's primary group and every group
// the group database lists it in. A uid without an account entry gets the
// kernel's overflow group and no supplementary groups, never the parent's.
bool SessionUserGroups(uid_t uid, gid_t *gid, std::vector<gid_t> *groups) {
  std::string name;
  groups->clear();
  if (!LookUpAccount(uid, &name, gid)) {
    *gid = kNoGroup;
    Log_Warning("SightwellRemote: UID %u has no account entry; running with group %u and no "
                "supplementary groups",
                static_cast<unsigned>(uid), static_cast<unsigned>(kNoGroup));
    return true;
  }
  int count = 32;
  for (int attempt = 0; attempt < 8; attempt++) {
    groups->resize(static_cast<size_t>(count));
    int n = count;
    if (getgrouplist(name.c_str(), *gid, groups->data(), &n) >= 0) {
      groups->resize(static_cast<size_t>(n));
      return true;
    }
    // -1: the list did not fit; n now holds the size it needs.
    count = n > count ? n : count * 2;
  }
  Log_Error("SightwellRemote: Failed to list the groups of UID %u", static_cast<unsigned>(uid));
  return false;
}

// Moves the whole process to uid: supplementary groups, then the group ids,
// then the user ids (once the user ids leave root the group calls would no
// longer be allowed). The C library's set-id calls switch every thread of
// the process, including threads started before this (audio), and when
// every user id leaves 0 the kernel empties the permitted and effective
// capability sets.
bool SwitchToSessionUser(uid_t uid) {
  gid_t gid = 0;
  std::vector<gid_t> groups;
  if (!SessionUserGroups(uid, &gid, &groups)) {
    Log_Error("SightwellRemote: Failed to set effective UID to %d", static_cast<int>(uid));
    return false;
  }
  const char *failed = nullptr;
  if (setgroups(groups.size(), groups.data()) != 0) {
    failed = "setgroups";
  } else if (setresgid(gid, gid, gid) != 0) {
    failed = "setresgid";
  } else if (setresuid(uid, uid, uid) != 0) {
    failed = "setresuid";
  }
  if (failed != nullptr) {
    Log_Error("SightwellRemote: %s failed for UID %u: %s", failed, static_cast<unsigned>(uid),
              strerror(errno));
    Log_Error("SightwellRemote: Failed to set effective UID to %d", static_cast<int>(uid));
    return false;
  }
  return true;
}

void AddDeferredAudioToLoop(RemoteContext *ctx, int epollFd) {
  struct epoll_event ev = {};
  ev.events = EPOLLIN;
  ev.data.fd = ctx->audio.audioFd();
  if (epoll_ctl(epollFd, EPOLL_CTL_ADD, ctx->audio.audioFd(), &ev) != 0) {
    Log_Error("SightwellRemote: Failed to add deferred audioFd to epoll, errno = %d", errno);
  }
}

// Everything up to the start of the capture event thread. Returns the status to
// report.
ChannelStatus PrepareAndStart(RemoteContext *ctx, const ChannelMessage &command, bool *openedAudio) {
  // Only one capture per agent: a second capture event thread would share
  // the queues, eventfds and thread handles of the first.
  if (ctx->captureEventThread != 0) {
    Log_Error("SightwellRemote: Capture already running, refusing another capture start");
    return CHANNEL_STATUS_FAILED;
  }

  // Without a connector the screen cast can never start, and the capture
  // thread would retry it for ever.
  if (command.connector[0] == '\0') {
    Log_Error("SightwellRemote: Capture start names no connector, refusing it");
    return CHANNEL_STATUS_FAILED;
  }

  char path[kSessionLineSize];
  char dbusAddress[kSessionLineSize];
  char runtimeDir[kSessionLineSize];
  uid_t uid = 0;
  if (!ReadSessionFile(kDbusAddressFile, ctx->cardName, path, dbusAddress)) return kDbusAddressFile.status;
  if (!ReadSessionFile(kRuntimeDirFile, ctx->cardName, path, runtimeDir)) return kRuntimeDirFile.status;
  if (!ReadSessionUid(ctx->cardName, &uid)) return kUidFile.status;

  setenv("DBUS_SESSION_BUS_ADDRESS", dbusAddress, 1);
  setenv("XDG_RUNTIME_DIR", runtimeDir, 1);

  if (ctx->audio.audioFd() < 0) {
    UniqueFd socket(ConnectDeferredAudioSocket(ctx->cardName));
    if (socket.valid()) {
      ctx->audio.AdoptSocket(std::move(socket));
      *openedAudio = true;
    }
  }

  if (getuid() != uid && !SwitchToSessionUser(uid)) {
    return CHANNEL_STATUS_FAILED;
  }
  // Accepted so that a parent running root's own desktop session keeps
  // working; nothing is dropped then, so say so.
  if (uid == 0) {
    Log_Warning("SightwellRemote: Capture start for UID 0: capturing root's own session as root");
  }

  ctx->screenCast->SetConnector(command.connector);

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
    SendErrorMessage(ctx->controlFd.get(), ctx->controlWriteLock, kCaptureStartFailed, static_cast<int32_t>(status));
    // The socket is open and greeted, so the parent may use it even though
    // this start failed: serve it.
    if (openedAudio) AddDeferredAudioToLoop(ctx, epollFd);
    return CaptureStartResult::kRefused;
  }

  ChannelMessage reply = command;
  reply.status = CHANNEL_STATUS_SUCCESS;
  if (SendChannelMessage(ctx->controlFd.get(), ctx->controlWriteLock, reply) != 0) {
    Log_Error("SightwellRemote: Failed to send response to parent process");
    ctx->agentStopping.RequestStop(ctx->captureWakerFd.get());
    return CaptureStartResult::kFatal;
  }
  if (openedAudio) AddDeferredAudioToLoop(ctx, epollFd);
  return CaptureStartResult::kStarted;
}
