// Audio capture for the parent: the remote routine's audio start and stop,
// and ForwardAudioBlock, which turns every captured PipeWire buffer into one
// REMOTE_AUDIO_DATA block on the audio socket.
//
// The audio socket has two writers, the main thread (handshake, replies) and
// the sound stream's data thread (blocks); each holds audioWriteLock for one
// whole message, and audioFd is only read or replaced under that lock.
#include "agent/remote_audio.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>
#include <thread>

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
constexpr auto kStartRetryPause = std::chrono::milliseconds(500);
// How long a block that went out only in part may take to finish before the
// connection is given up. Far below a parent's patience, long enough to
// ride out a momentarily full socket buffer.
constexpr int kFinishBlockBudgetMs = 50;

// errno of the last failed block send, 0 after a block went out; guarded by
// audioWriteLock. A broken socket fails every block until the main thread
// drops it, and one line per failure would log on every buffer.
int lastSendErrno = 0;

constexpr SoundStreamParams kCaptureParams = {
    kAudioRate, kAudioBits, kAudioBits, kAudioChannels, SOUND_STREAM_MODE_RECORD_MONITOR,
    3 /* S16LE */, 0,
};

// One attempt to bring up the back end and a started stream.
bool TryStartAudio(RemoteContext *ctx) {
  SoundBackend *backend = SoundLib_CreateBackendMulti(SOUNDLIB_API_PIPEWIRE, nullptr);
  if (backend == nullptr) {
    Log_Error("SightwellRemote: Failed to create PipeWire audio backend");
    return false;
  }
  SoundStream *stream = nullptr;
  if (!SoundLib_CreateSyncSoundStream(backend, &kCaptureParams, kStreamSizeArg, kStreamCountArg,
                                      ForwardAudioBlock, ctx, &stream)) {
    Log_Error("SightwellRemote: Failed to create audio sound stream");
    SoundLib_DestroyBackend(backend);
    return false;
  }
  if (!SoundLib_StartSoundStream(stream)) {
    Log_Error("SightwellRemote: Failed to start audio stream");
    SoundLib_DestroySoundStream(stream);
    SoundLib_DestroyBackend(backend);
    return false;
  }
  ctx->audioBackend = backend;
  ctx->audioStream = stream;
  return true;
}

// Sends the rest of a block that went out in part, waiting at most
// kFinishBlockBudgetMs for room. sent counts bytes of iov already written.
bool FinishBlock(int fd, iovec *iov, size_t sent) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kFinishBlockBudgetMs);
  int idx = 0;
  for (;;) {
    while (idx < 2 && sent >= iov[idx].iov_len) {
      sent -= iov[idx].iov_len;
      iov[idx].iov_len = 0;
      idx++;
    }
    if (idx == 2) {
      return true;
    }
    iov[idx].iov_base = static_cast<uint8_t *>(iov[idx].iov_base) + sent;
    iov[idx].iov_len -= sent;
    sent = 0;

    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd pfd{fd, POLLOUT, 0};
    int pr = poll(&pfd, 1, static_cast<int>(left.count()));
    if (pr < 0 && errno != EINTR) {
      return false;
    }
    if (pr > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) {
      return false;
    }
    msghdr msg{};
    msg.msg_iov = &iov[idx];
    msg.msg_iovlen = static_cast<size_t>(2 - idx);
    ssize_t n = sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        continue;
      }
      return false;
    }
    sent = static_cast<size_t>(n);
  }
}

}  // namespace

ChannelStatus StartAudioCapture(RemoteContext *ctx) {
  if (ctx->audioRunning.load(std::memory_order_acquire)) {
    Log_Info("SightwellRemote: Audio capture already running");
    return CHANNEL_STATUS_SUCCESS;
  }
  if (agentStopping.load(std::memory_order_acquire)) {
    Log_Info("SightwellRemote: Stop requested, aborting audio capture start");
    return CHANNEL_STATUS_FAILED;
  }
  for (int attempt = 1; attempt <= kStartAttempts; attempt++) {
    if (TryStartAudio(ctx)) {
      ctx->audioRunning.store(true, std::memory_order_release);
      Log_Info("SightwellRemote: PipeWire audio capture started: %uch, %uHz, %ubit",
               kAudioChannels, kAudioRate, kAudioBits);
      return CHANNEL_STATUS_SUCCESS;
    }
    if (attempt == kStartAttempts) {
      break;
    }
    if (agentStopping.load(std::memory_order_acquire)) {
      Log_Info("SightwellRemote: Stop requested, aborting audio capture start");
      return CHANNEL_STATUS_FAILED;
    }
    Log_Info("SightwellRemote: Retrying PipeWire audio start (attempt %d/%d)", attempt + 1,
             kStartAttempts);
    std::this_thread::sleep_for(kStartRetryPause);
  }
  Log_Error("SightwellRemote: Failed to start PipeWire audio after %d attempts", kStartAttempts);
  return CHANNEL_STATUS_FAILED;
}

void StopAudioCapture(RemoteContext *ctx) {
  if (!ctx->audioRunning.load(std::memory_order_acquire) && ctx->audioStream == nullptr &&
      ctx->audioBackend == nullptr) {
    return;
  }
  ctx->audioRunning.store(false, std::memory_order_release);
  // Stopping tears the PipeWire stream down, so no block is in flight once
  // this returns and the socket may then be closed safely.
  if (ctx->audioStream != nullptr) {
    SoundLib_StopSoundStream(ctx->audioStream);
    SoundLib_DestroySoundStream(ctx->audioStream);
    ctx->audioStream = nullptr;
  }
  if (ctx->audioBackend != nullptr) {
    SoundLib_DestroyBackend(ctx->audioBackend);
    ctx->audioBackend = nullptr;
  }
  Log_Info("SightwellRemote: PipeWire audio capture stopped");
}

void ForwardAudioBlock(int32_t eventCode, const void *payload, uint64_t size, void *clientData) {
  // The error event is left to the back end, which has logged it; the stream
  // stays registered as running until the parent stops audio.
  if (eventCode != SOUND_EVENT_DATA || clientData == nullptr) {
    return;
  }
  RemoteContext *ctx = static_cast<RemoteContext *>(clientData);
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

  std::lock_guard<std::mutex> lock(ctx->audioWriteLock);
  const int fd = ctx->audioFd;
  if (fd < 0) {
    return;
  }
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = 2;
  // MSG_DONTWAIT: the main thread clears O_NONBLOCK on this socket while it
  // reads a command; this thread must never wait for the parent.
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
  if (FinishBlock(fd, iov, static_cast<size_t>(n))) {
    return;
  }
  // The parent reads fixed-size headers: a torn block would break every
  // later one. End the audio connection instead; the parent sees end of
  // stream right after the unfinished block, and the main thread, seeing the
  // socket readable at end of stream, drops and closes it.
  Log_Error("SightwellRemote: Audio block could not be completed, shutting down audio socket");
  shutdown(fd, SHUT_RDWR);
}
