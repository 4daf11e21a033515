// Parent channel: socket set-up, record reads and the serialised writers.

#include "agent/channel.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/sleep.h"
#include "lib/misc/unique_fd.h"
#include "lib/log/log.h"

namespace {

void CopyName(char *dst, const char *src, size_t size) {
  // Cut to size - 1 characters; never reads past src's terminator.
  size_t n = strnlen(src, size - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}

ChannelMessage TypedRecord(uint32_t type) {
  ChannelMessage msg;
  memset(&msg, 0, sizeof msg);
  msg.type = type;
  return msg;
}

// Sends a lone record while the caller already holds the socket's lock.
int SendRecordLocked(int fd, const ChannelMessage &msg) {
  struct iovec part = {const_cast<ChannelMessage *>(&msg), sizeof msg};
  return SendAll(fd, &part, 1);
}

// A record and the bytes that follow it as one message: one gather write
// under the socket's lock, so no other writer's record lands in between.
int SendRecordWithPayload(int fd, std::mutex &writeLock, const ChannelMessage &msg,
                          const void *payload, size_t payloadSize) {
  struct iovec parts[2] = {
      {const_cast<ChannelMessage *>(&msg), sizeof msg},
      {const_cast<void *>(payload), payloadSize},
  };
  std::lock_guard<std::mutex> hold(writeLock);
  return SendAll(fd, parts, payloadSize != 0 ? 2 : 1);
}

// The three sockets that start with a one-record first message; their log
// texts differ.
enum class SocketKind { kControl, kAudio, kDeferredAudio };
enum class Stage { kCreate, kConnect, kSend };

void LogOpenFailure(SocketKind kind, Stage stage, int err) {
  const char *text = strerror(err);
  switch (kind) {
    case SocketKind::kControl:
      if (stage == Stage::kCreate) Log_Error("SightwellRemote: Failed to create socket: %s", text);
      if (stage == Stage::kConnect) Log_Error("SightwellRemote: Failed to connect to socket: %s", text);
      if (stage == Stage::kSend) Log_Error("SightwellRemote: Failed to send sightwellInfo: %s", text);
      break;
    case SocketKind::kAudio:
      if (stage == Stage::kCreate) Log_Error("SightwellRemote: Failed to create audio socket: %s", text);
      if (stage == Stage::kConnect) Log_Error("SightwellRemote: Failed to connect audio socket: %s", text);
      if (stage == Stage::kSend) Log_Error("SightwellRemote: Failed to send audio handshake: %s", text);
      break;
    case SocketKind::kDeferredAudio:
      if (stage == Stage::kCreate) {
        Log_Error("SightwellRemote: Failed to create deferred audio socket: %s", text);
      }
      if (stage == Stage::kConnect) {
        Log_Error("SightwellRemote: Failed to connect deferred audio socket: %s", text);
      }
      if (stage == Stage::kSend) {
        Log_Error("SightwellRemote: Failed to send deferred audio handshake: %s", text);
      }
      break;
  }
}

// Creates a socket, connects it to cardName's path and sends the one-record
// first message. Returns the socket or -1 after logging.
int OpenAndGreet(const char *cardName, SocketKind kind, uint32_t firstType) {
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    LogOpenFailure(kind, Stage::kCreate, errno);
    return -1;
  }
  char path[kSocketPathSize];
  size_t length = FormatSocketPath(cardName, path);
  constexpr size_t kSunPathSize = sizeof(sockaddr_un::sun_path);
  if (length >= kSunPathSize) {
    Log_Error("SightwellRemote: Socket path too long for sun_path (%zu >= %zu): %s", length,
              kSunPathSize, path);
    return -1;
  }
  int attempts = kind == SocketKind::kDeferredAudio ? 1 : kConnectAttempts;
  if (ConnectUnixSocket(fd.get(), path, attempts, kConnectRetryMs) != 0) {
    LogOpenFailure(kind, Stage::kConnect, errno);
    return -1;
  }
  ChannelMessage first = TypedRecord(firstType);
  if (SendRecordLocked(fd.get(), first) != 0) {
    LogOpenFailure(kind, Stage::kSend, errno);
    return -1;
  }
  return fd.release();
}

}  // namespace

size_t FormatSocketPath(const char *cardName, char *path) {
  int n = snprintf(path, kSocketPathSize, SIGHTWELL_SOCKET_FORMAT, cardName);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

int ConnectUnixSocket(int fd, const char *path, int attempts, unsigned retryMs) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
  for (int attempt = 1;; attempt++) {
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0) {
      return 0;
    }
    int err = errno;
    // A connect interrupted by a signal goes on in the background; the
    // retry then finds it done.
    if (err == EISCONN && attempt > 1) {
      return 0;
    }
    bool retryable = err == ENOENT || err == EINTR || err == ECONNREFUSED;
    if (!retryable || attempt >= attempts) {
      errno = err;
      return -1;
    }
    SleepMs(retryMs);
  }
}

int ConnectControlSocket(const char *cardName, bool greeterWorkflow) {
  // The default send buffer is kept on purpose: with a parent that reads
  // promptly, a frame streams through a buffer of some 200 KiB that stays in
  // the cache, and a larger one measured slower; it helped only on a machine
  // too busy to run the parent while the agent writes.
  return OpenAndGreet(cardName, SocketKind::kControl,
                      greeterWorkflow ? REMOTE_INFO_GREETER : REMOTE_INFO_USER);
}

int ConnectAudioSocket(const char *cardName) {
  UniqueFd fd(OpenAndGreet(cardName, SocketKind::kAudio, REMOTE_AUDIO_HANDSHAKE));
  if (!fd.valid()) {
    return -1;
  }
  int flags = fcntl(fd.get(), F_GETFL);
  if (flags == -1 || fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) == -1) {
    Log_Error("SightwellRemote: Failed to set audio socket non-blocking: %s", strerror(errno));
    return -1;
  }
  Log_Info("SightwellRemote: Audio socket connected to parent");
  return fd.release();
}

int ConnectDeferredAudioSocket(const char *cardName) {
  int fd = OpenAndGreet(cardName, SocketKind::kDeferredAudio, REMOTE_AUDIO_HANDSHAKE);
  if (fd < 0) {
    return -1;
  }
  // A late socket that stays blocking is still usable, so a failure to
  // switch it is not reported.
  int flags = fcntl(fd, F_GETFL);
  if (flags != -1) {
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  }
  Log_Info("SightwellRemote: Audio socket connected to parent (deferred)");
  return fd;
}

ssize_t ReceiveChannelMessage(int fd, ChannelMessage *msg) {
  auto *bytes = reinterpret_cast<uint8_t *>(msg);
  size_t got = 0;
  while (got < sizeof *msg) {
    ssize_t n = recv(fd, bytes + got, sizeof *msg - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n == 0) {
      errno = ECONNRESET;
      return -1;
    } else if (errno != EINTR) {
      return -1;
    }
  }
  return static_cast<ssize_t>(sizeof *msg);
}

int SendAll(int fd, struct iovec *parts, int count) {
  struct msghdr hdr;
  memset(&hdr, 0, sizeof hdr);
  hdr.msg_iov = parts;
  hdr.msg_iovlen = static_cast<size_t>(count);
  while (hdr.msg_iovlen > 0) {
    // Skip parts that are already complete (or empty).
    if (hdr.msg_iov[0].iov_len == 0) {
      hdr.msg_iov++;
      hdr.msg_iovlen--;
      continue;
    }
    ssize_t n = sendmsg(fd, &hdr, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {
      errno = EPIPE;
      return -1;
    }
    size_t done = static_cast<size_t>(n);
    while (done > 0) {
      size_t step = done < hdr.msg_iov[0].iov_len ? done : hdr.msg_iov[0].iov_len;
      hdr.msg_iov[0].iov_base = static_cast<uint8_t *>(hdr.msg_iov[0].iov_base) + step;
      hdr.msg_iov[0].iov_len -= step;
      done -= step;
      if (hdr.msg_iov[0].iov_len == 0) {
        hdr.msg_iov++;
        hdr.msg_iovlen--;
      }
    }
  }
  return 0;
}

int SendChannelMessage(int fd, std::mutex &writeLock, const ChannelMessage &msg) {
  std::lock_guard<std::mutex> hold(writeLock);
  return SendRecordLocked(fd, msg);
}

void SendErrorMessage(int fd, std::mutex &writeLock, const char *text, int32_t code) {
  ChannelMessage msg = TypedRecord(REMOTE_ERROR);
  CopyName(msg.errorText, text ? text : "", sizeof msg.errorText);
  msg.errorCode = code;
  if (SendChannelMessage(fd, writeLock, msg) != 0) {
    Log_Error("SightwellRemote: Failed to write error message to remote socket");
  }
}

int SendLogoutMessage(int fd, std::mutex &writeLock) {
  ChannelMessage msg = TypedRecord(REMOTE_LOGOUT);
  msg.logout = 1;
  return SendChannelMessage(fd, writeLock, msg);
}

int SendScreenBuffer(int fd, std::mutex &writeLock, const CaptureFrame *frame) {
  if (frame->captureBufferSize != 0 && frame->captureBuffer == nullptr) {
    Log_Error("captureBuffer is NULL but captureBufferSize=%u\n", frame->captureBufferSize);
    return -1;
  }
  ChannelMessage msg = TypedRecord(REMOTE_SCREEN_BUFFER);
  CopyName(msg.screenConnector, frame->connector, sizeof msg.screenConnector);
  msg.screenWidth = frame->width;
  msg.screenHeight = frame->height;
  msg.screenBytes = frame->captureBufferSize;

  if (SendRecordWithPayload(fd, writeLock, msg, frame->captureBuffer,
                            frame->captureBufferSize) != 0) {
    Log_Error("Failed to send screen capture buffer, errno = %d\n", errno);
    return -1;
  }
  return 0;
}

int SendCursorBuffer(int fd, std::mutex &writeLock, const CursorUpdate *update, bool withBitmap) {
  if (update->cursorBitmapSize != 0 && update->cursorBitmap == nullptr) {
    Log_Error("cursorBitmap is NULL but cursorBitmapSize=%u\n", update->cursorBitmapSize);
    return -1;
  }
  ChannelMessage msg = TypedRecord(REMOTE_CURSOR_BUFFER);
  CopyName(msg.cursorConnector, update->connector, sizeof msg.cursorConnector);
  msg.cursorX = update->x;
  msg.cursorY = update->y;
  msg.cursorWidth = update->width;
  msg.cursorHeight = update->height;
  msg.cursorHotX = update->hotspotX;
  msg.cursorHotY = update->hotspotY;
  msg.cursorId = update->cursorId;
  if (withBitmap) {
    msg.cursorBytes = update->cursorBitmapSize;
  }

  if (SendRecordWithPayload(fd, writeLock, msg, update->cursorBitmap, msg.cursorBytes) != 0) {
    Log_Error("Failed to send cursor buffer, errno = %d\n", errno);
    return -1;
  }
  return 0;
}
