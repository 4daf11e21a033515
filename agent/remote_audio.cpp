// Audio capture for the parent: the audio socket's commands, the audio start
// and stop, the reconnection of a stream whose PipeWire daemon went away,
// and ForwardAudioBlock, which turns every captured PipeWire buffer into one
// REMOTE_AUDIO_DATA block on the audio socket.
//
// The audio socket has two writers, the main thread (handshake, replies) and
// the sound stream's data thread (blocks); each holds audioWriteLock for one
// whole message, and audioFd is only read or replaced under that lock. The
// main thread never waits on this socket without a bound: a command is
// gathered as its bytes arrive, and a reply waits at most a second for room,
// so a parent that stalls its audio connection cannot keep REMOTE_STOP on
// the control socket from being served.
#include "agent/remote_audio.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>

#include "agent/remote_context.h"
#include "lib/log/log.h"
#include "lib/soundlib/soundlib.h"

namespace {

constexpr uint32_t kAudioRate = 48000;
constexpr uint32_t kAudioBits = 16;
constexpr uint32_t kAudioChannels = 2;
constexpr uint64_t kStreamSizeArg = 96000;
constexpr uint32_t kStreamCountArg = 1;
constexpr int kStartAttempts = 10;
// The pause between two attempts of a start, and between two of a
// reconnection; the recovery timer paces both, so the main thread never
// sleeps through them.
constexpr long kStartRetryPauseNs = 500L * 1000 * 1000;
constexpr long kReconnectPauseNs = kStartRetryPauseNs;
// How long a block that went out only in part may take to finish before the
// connection is given up. Far below a parent's patience, long enough to
// ride out a momentarily full socket buffer.
constexpr int kFinishBlockBudgetMs = 50;
// How long a reply may wait for room on the audio socket. A parent that has
// just sent a command reads its socket, so room comes at once; one that
// stopped reading must not hold the routine up for longer.
constexpr int kReplyBudgetMs = 1000;

// errno of the last failed block send, 0 after a block went out; guarded by
// audioWriteLock. A broken socket fails every block until the main thread
// drops it, and one line per failure would log on every buffer.
int lastSendErrno = 0;

constexpr SoundStreamParams kCaptureParams = {
    kAudioRate, kAudioBits, kAudioBits, kAudioChannels, SOUND_STREAM_MODE_RECORD_MONITOR,
    3 /* S16LE */, 0,
};

// Fires the recovery timer once after ns nanoseconds; 0 disarms it.
void ArmRecoveryTimer(int fd, long ns) {
  if (fd < 0) {
    return;
  }
  itimerspec when{};
  when.it_value.tv_sec = ns / 1000000000L;
  when.it_value.tv_nsec = ns % 1000000000L;
  timerfd_settime(fd, 0, &when, nullptr);
}

void DestroyAudioStream(RemoteContext *ctx) {
  // Stopping tears the PipeWire stream down, so no callback is in flight
  // once this returns.
  if (ctx->audioStream != nullptr) {
    SoundLib_StopSoundStream(ctx->audioStream);
    SoundLib_DestroySoundStream(ctx->audioStream);
    ctx->audioStream = nullptr;
  }
  if (ctx->audioBackend != nullptr) {
    SoundLib_DestroyBackend(ctx->audioBackend);
    ctx->audioBackend = nullptr;
  }
}

// One attempt to bring up the back end and a started stream. quiet leaves
// out the agent's own failure lines (reconnection repeats the same failure
// every 500 ms while PipeWire is away).
bool TryStartAudio(RemoteContext *ctx, bool quiet) {
  SoundBackend *backend = SoundLib_CreateBackendMulti(SOUNDLIB_API_PIPEWIRE, nullptr);
  if (backend == nullptr) {
    if (!quiet) Log_Error("SightwellRemote: Failed to create PipeWire audio backend");
    return false;
  }
  SoundStream *stream = nullptr;
  if (!SoundLib_CreateSyncSoundStream(backend, &kCaptureParams, kStreamSizeArg, kStreamCountArg,
                                      ForwardAudioBlock, ctx, &stream)) {
    if (!quiet) Log_Error("SightwellRemote: Failed to create audio sound stream");
    SoundLib_DestroyBackend(backend);
    return false;
  }
  if (!SoundLib_StartSoundStream(stream)) {
    if (!quiet) Log_Error("SightwellRemote: Failed to start audio stream");
    SoundLib_DestroySoundStream(stream);
    SoundLib_DestroyBackend(backend);
    // The failed start reported itself through the error event as well;
    // that stream is gone already, there is nothing to recover.
    ctx->audioStreamLost.store(false, std::memory_order_release);
    return false;
  }
  ctx->audioBackend = backend;
  ctx->audioStream = stream;
  return true;
}

// Writes the rest of iov (count parts, of which *sent bytes are already
// out) with non-blocking sends, waiting for room at most budgetMs in all.
// *sent grows with every byte written; true once everything is out, false
// with errno set otherwise.
bool SendWithin(int fd, iovec *iov, int count, size_t *sent, int budgetMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
  size_t skip = *sent;
  int idx = 0;
  for (;;) {
    while (idx < count && skip >= iov[idx].iov_len) {
      skip -= iov[idx].iov_len;
      idx++;
    }
    if (idx == count) {
      return true;
    }
    iov[idx].iov_base = static_cast<uint8_t *>(iov[idx].iov_base) + skip;
    iov[idx].iov_len -= skip;
    skip = 0;

    msghdr msg{};
    msg.msg_iov = &iov[idx];
    msg.msg_iovlen = static_cast<size_t>(count - idx);
    // MSG_DONTWAIT: the deferred audio socket may have stayed blocking.
    // MSG_NOSIGNAL: a parent that went away must not kill the agent.
    ssize_t n = sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      *sent += static_cast<size_t>(n);
      skip = static_cast<size_t>(n);
      continue;
    }
    if (n == 0) {
      errno = EPIPE;
      return false;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return false;
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                              std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      errno = EAGAIN;
      return false;
    }
    pollfd pfd{fd, POLLOUT, 0};
    int pr = poll(&pfd, 1, static_cast<int>(left.count()));
    if (pr < 0 && errno != EINTR) {
      return false;
    }
    if (pr > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) {
      errno = EPIPE;
      return false;
    }
  }
}

// A reply goes out whole or not at all: one that went out in part would
// break the framing of everything after it, so the connection is ended
// instead (the routine then drops the socket at its end of stream).
bool SendAudioReply(RemoteContext *ctx, const ChannelMessage &reply) {
  iovec part = {const_cast<ChannelMessage *>(&reply), sizeof reply};
  std::lock_guard<std::mutex> hold(ctx->audioWriteLock);
  const int fd = ctx->audioFd.get();
  if (fd < 0) {
    return false;
  }
  size_t sent = 0;
  if (SendWithin(fd, &part, 1, &sent, kReplyBudgetMs)) {
    return true;
  }
  if (sent > 0) {
    Log_Error("SightwellRemote: Audio reply could not be completed, shutting down audio socket");
    shutdown(fd, SHUT_RDWR);
  }
  return false;
}

void AnswerAudioStart(RemoteContext *ctx, const ChannelMessage &request, ChannelStatus status) {
  ChannelMessage reply = request;
  reply.status = status;
  if (!SendAudioReply(ctx, reply)) {
    Log_Error("SightwellRemote: Failed to send REMOTE_AUDIO_START response on audioFd");
  }
  // Blocks flow only from here on, so the echo is the first thing the
  // parent reads after its start.
  if (status == CHANNEL_STATUS_SUCCESS) {
    ctx->audioRunning.store(true, std::memory_order_release);
  }
}

// Ends a start that will make no further attempt; its status is FAILED.
ChannelStatus AbandonAudioStart(RemoteContext *ctx) {
  ctx->audioStartAttempts = 0;
  ArmRecoveryTimer(ctx->audioRetryFd.get(), 0);
  return CHANNEL_STATUS_FAILED;
}

bool StopRequestedDuringStart(RemoteContext *ctx) {
  if (!ctx->agentStopping.IsSet()) {
    return false;
  }
  Log_Info("SightwellRemote: Stop requested, aborting audio capture start");
  AbandonAudioStart(ctx);
  return true;
}

// After the failed attempt number audioStartAttempts: the final failure,
// or the next attempt scheduled on the recovery timer (nullopt).
std::optional<ChannelStatus> AfterFailedStartAttempt(RemoteContext *ctx) {
  if (ctx->audioStartAttempts >= kStartAttempts || ctx->audioRetryFd.get() < 0) {
    Log_Error("SightwellRemote: Failed to start PipeWire audio after %d attempts",
              ctx->audioStartAttempts);
    return AbandonAudioStart(ctx);
  }
  if (StopRequestedDuringStart(ctx)) {
    return CHANNEL_STATUS_FAILED;
  }
  Log_Info("SightwellRemote: Retrying PipeWire audio start (attempt %d/%d)",
           ctx->audioStartAttempts + 1, kStartAttempts);
  ArmRecoveryTimer(ctx->audioRetryFd.get(), kStartRetryPauseNs);
  return std::nullopt;
}

// One attempt of a start, the first or a later one: its status, or nullopt
// when the next attempt is scheduled.
std::optional<ChannelStatus> MakeStartAttempt(RemoteContext *ctx) {
  if (StopRequestedDuringStart(ctx)) {
    return CHANNEL_STATUS_FAILED;
  }
  ctx->audioStartAttempts++;
  if (!TryStartAudio(ctx, false)) {
    return AfterFailedStartAttempt(ctx);
  }
  ctx->audioStartAttempts = 0;
  Log_Info("SightwellRemote: PipeWire audio capture started: %uch, %uHz, %ubit", kAudioChannels,
           kAudioRate, kAudioBits);
  return CHANNEL_STATUS_SUCCESS;
}

void ServeAudioCommand(RemoteContext *ctx, const ChannelMessage &msg) {
  switch (msg.type) {
    case REMOTE_AUDIO_START: {
      std::optional<ChannelStatus> status = StartAudioCapture(ctx);
      if (status) {
        AnswerAudioStart(ctx, msg, *status);
      } else {
        ctx->audioStartRequest = msg;  // echoed once the start resolves
      }
      break;
    }
    case REMOTE_AUDIO_STOP:
      StopAudioCapture(ctx);
      break;
    default:
      Log_Warning("SightwellRemote: Unexpected command %d on audioFd", static_cast<int>(msg.type));
      break;
  }
}

}  // namespace

std::optional<ChannelStatus> StartAudioCapture(RemoteContext *ctx) {
  if (ctx->audioRunning.load(std::memory_order_acquire)) {
    if (ctx->audioStream != nullptr && !ctx->audioStreamLost.load(std::memory_order_acquire)) {
      Log_Info("SightwellRemote: Audio capture already running");
      return CHANNEL_STATUS_SUCCESS;
    }
    // Lost and not back yet: the answer must be about a stream that can
    // deliver, so start one afresh rather than report this one as running.
    // This also ends the reconnection, so the timer is free for the start.
    Log_Info("SightwellRemote: Audio stream is not delivering, starting it again");
    StopAudioCapture(ctx);
  }
  ctx->audioStartAttempts = 0;
  return MakeStartAttempt(ctx);
}

bool AudioStartPending(const RemoteContext *ctx) { return ctx->audioStartAttempts > 0; }

void StopAudioCapture(RemoteContext *ctx) {
  if (!ctx->audioRunning.load(std::memory_order_acquire) && ctx->audioStream == nullptr &&
      ctx->audioBackend == nullptr) {
    return;
  }
  ctx->audioRunning.store(false, std::memory_order_release);
  ArmRecoveryTimer(ctx->audioRetryFd.get(), 0);
  DestroyAudioStream(ctx);
  // A loss reported before the teardown concerns the stream just destroyed.
  ctx->audioStreamLost.store(false, std::memory_order_release);
  ctx->audioReconnectAttempts = 0;
  Log_Info("SightwellRemote: PipeWire audio capture stopped");
}

bool OpenAudioRecoveryTimer(RemoteContext *ctx) {
  int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (fd < 0) {
    Log_Error("SightwellRemote: Failed to create audio recovery timer: %s", strerror(errno));
    return false;
  }
  ctx->audioRetryFd.reset(fd);
  return true;
}

void ServeAudioRecovery(RemoteContext *ctx) {
  uint64_t expirations;
  bool fired = true;
  if (read(ctx->audioRetryFd.get(), &expirations, sizeof expirations) < 0) {
    fired = errno != EAGAIN;
    if (fired) {
      Log_Error("SightwellRemote: Failed to read audio recovery timer, errno = %d", errno);
    }
  }
  // A pending start has no stream, and audio is not on, so no reconnection
  // shares the timer meanwhile. A wake-up without an expiration predates
  // the last arming: the pause since the last attempt is not over yet.
  if (AudioStartPending(ctx)) {
    if (!fired) {
      return;
    }
    if (std::optional<ChannelStatus> status = MakeStartAttempt(ctx)) {
      AnswerAudioStart(ctx, ctx->audioStartRequest, *status);
    }
    return;
  }
  if (!ctx->audioRunning.load(std::memory_order_acquire)) {
    ctx->audioStreamLost.store(false, std::memory_order_release);
    return;  // audio was stopped meanwhile
  }
  if (ctx->agentStopping.IsSet()) {
    return;  // the routine is about to stop audio for good
  }
  if (ctx->audioStreamLost.exchange(false, std::memory_order_acq_rel)) {
    Log_Warning("SightwellRemote: PipeWire audio stream lost; reconnecting every %ld ms until "
                "PipeWire is back",
                kReconnectPauseNs / 1000000L);
    DestroyAudioStream(ctx);
    ctx->audioReconnectAttempts = 0;
    // The first attempt also waits: a daemon that just died is not back
    // yet, and a stream that fails at once must not reconnect in a loop.
    ArmRecoveryTimer(ctx->audioRetryFd.get(), kReconnectPauseNs);
    return;
  }
  if (ctx->audioStream != nullptr) {
    return;
  }
  ctx->audioReconnectAttempts++;
  if (TryStartAudio(ctx, ctx->audioReconnectAttempts > 1)) {
    Log_Info("SightwellRemote: PipeWire audio capture resumed on attempt %d",
             ctx->audioReconnectAttempts);
    ctx->audioReconnectAttempts = 0;
    return;
  }
  ArmRecoveryTimer(ctx->audioRetryFd.get(), kReconnectPauseNs);
}

bool ServeAudioSocket(RemoteContext *ctx) {
  auto *bytes = reinterpret_cast<uint8_t *>(&ctx->audioCommand);
  ssize_t n;
  do {
    n = recv(ctx->audioFd.get(), bytes + ctx->audioCommandBytes,
             sizeof ctx->audioCommand - ctx->audioCommandBytes, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    return true;
  }
  if (n <= 0) {
    Log_Error("SightwellRemote: Failed to receive audio command from parent (parent died?)");
    ctx->audioCommandBytes = 0;
    return false;
  }
  ctx->audioCommandBytes += static_cast<size_t>(n);
  if (ctx->audioCommandBytes < sizeof ctx->audioCommand) {
    return true;  // the rest of the record comes with a later wake-up
  }
  ctx->audioCommandBytes = 0;
  ServeAudioCommand(ctx, ctx->audioCommand);
  return true;
}

void ForwardAudioBlock(int32_t eventCode, const void *payload, uint64_t size, void *clientData) {
  if (clientData == nullptr) {
    return;
  }
  RemoteContext *ctx = static_cast<RemoteContext *>(clientData);
  // The back end has logged the failure; the main thread, woken by the
  // timer, tears the stream down and reconnects it.
  if (eventCode == SOUND_EVENT_ERROR) {
    ctx->audioStreamLost.store(true, std::memory_order_release);
    ArmRecoveryTimer(ctx->audioRetryFd.get(), 1);
    return;
  }
  if (eventCode != SOUND_EVENT_DATA) {
    return;
  }
  if (!ctx->audioRunning.load(std::memory_order_acquire)) {
    return;
  }
  if (payload == nullptr || size < sizeof(SoundBuffer)) {
    return;
  }
  const SoundBuffer *buf = static_cast<const SoundBuffer *>(payload);
  // The header's length field is 32 bits; PipeWire buffers are far smaller.
  if (buf->data == nullptr || buf->size == 0 || buf->size > UINT32_MAX) {
    return;
  }

  AudioDataHeader header{};
  header.type = REMOTE_AUDIO_DATA;
  header.sampleRate = kAudioRate;
  header.bitsPerSample = kAudioBits;
  header.containerBits = kAudioBits;
  header.channels = kAudioChannels;
  header.dataBytes = static_cast<uint32_t>(buf->size);

  iovec iov[2] = {{&header, sizeof header}, {buf->data, static_cast<size_t>(buf->size)}};
  const size_t total = sizeof header + static_cast<size_t>(buf->size);

  // This is PipeWire's real-time thread: it never waits for the lock. The
  // main thread holds it while a reply waits for room, or while it replaces
  // the socket; a block meeting either is dropped whole.
  std::unique_lock<std::mutex> lock(ctx->audioWriteLock, std::try_to_lock);
  if (!lock.owns_lock()) {
    return;
  }
  const int fd = ctx->audioFd.get();
  if (fd < 0) {
    return;
  }
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = 2;
  // MSG_DONTWAIT: a deferred audio socket may have stayed blocking, and
  // this thread must never wait for the parent.
  // MSG_NOSIGNAL: a parent that went away must not kill the agent.
  // audioFd cannot change while the lock is held, so a retry after EINTR
  // goes to the same descriptor.
  ssize_t n;
  while ((n = sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  if (n < 0) {
    int err = errno;
    if (err != EAGAIN && err != EWOULDBLOCK && err != lastSendErrno) {
      Log_Error("SightwellRemote: Failed to send audio data to parent (errno=%d)", err);
      lastSendErrno = err;
    }
    return;  // dropped whole: the framing is intact
  }
  lastSendErrno = 0;
  if (static_cast<size_t>(n) == total) {
    return;
  }
  Log_Warning("SightwellRemote: Partial audio write (%zd of %zu bytes)", n, total);
  size_t sent = static_cast<size_t>(n);
  if (SendWithin(fd, iov, 2, &sent, kFinishBlockBudgetMs)) {
    return;
  }
  // The parent reads fixed-size headers: a torn block would break every
  // later one. End the audio connection instead; the parent sees end of
  // stream right after the unfinished block, and the main thread, seeing the
  // socket readable at end of stream, drops and closes it.
  Log_Error("SightwellRemote: Audio block could not be completed, shutting down audio socket");
  shutdown(fd, SHUT_RDWR);
}
