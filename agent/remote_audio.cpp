// Audio capture for the parent: the audio socket's commands, the audio start
// and stop, the reconnection of a stream whose PipeWire daemon went away,
// and ForwardAudioBlock, which turns every captured PipeWire buffer into one
// REMOTE_AUDIO_DATA block on the audio socket.
//
// The main thread never waits on the audio socket without a bound: a
// command is gathered as its bytes arrive, and a reply waits at most a
// second for room, so a parent that stalls its audio connection cannot keep
// REMOTE_STOP on the control socket from being served.
#include "agent/remote_audio.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/uio.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "base/error.h"
#include "base/event_fd.h"
#include "lib/log/log.h"

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

constexpr SoundStreamParams kCaptureParams = {
    kAudioRate, kAudioBits, kAudioBits, kAudioChannels, SOUND_STREAM_MODE_RECORD_MONITOR,
    3 /* S16LE */, 0,
};

// Fires the timer once after ns nanoseconds; 0 disarms it.
void ArmTimer(int fd, long ns) {
  if (fd < 0) {
    return;
  }
  itimerspec when{};
  when.it_value.tv_sec = ns / 1000000000L;
  when.it_value.tv_nsec = ns % 1000000000L;
  timerfd_settime(fd, 0, &when, nullptr);
}

// Writes the rest of iov (count parts, of which *sent bytes are already
// out) with non-blocking sends, waiting for room at most budgetMs in all.
// *sent grows with every byte written. Returns 0 once everything is out,
// or -1 with errno set.
int SendWithin(int fd, iovec *iov, int count, size_t *sent, int budgetMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
  size_t skip = *sent;
  int idx = 0;
  for (;;) {
    while (idx < count && skip >= iov[idx].iov_len) {
      skip -= iov[idx].iov_len;
      idx++;
    }
    if (idx == count) {
      return 0;
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
      return -1;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return -1;
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                              std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      errno = EAGAIN;
      return -1;
    }
    pollfd pfd{fd, POLLOUT, 0};
    int pr = poll(&pfd, 1, static_cast<int>(left.count()));
    if (pr < 0 && errno != EINTR) {
      return -1;
    }
    if (pr > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) {
      errno = EPIPE;
      return -1;
    }
  }
}

}  // namespace

// Stopping tears the PipeWire stream down, so no callback is in flight once
// it returns.
void StopAndDestroySoundStream(SoundStream *stream) {
  SoundLib_StopSoundStream(stream);
  SoundLib_DestroySoundStream(stream);
}

AudioForwarder::AudioForwarder(const StopToken &agentStopping) : agentStopping_(agentStopping) {}

AudioForwarder::~AudioForwarder() {
  // The stream's callbacks use this object and the socket: they end first.
  StopAudioCapture();
}

void AudioForwarder::AdoptSocket(UniqueFd socket) {
  std::lock_guard<std::mutex> hold(audioWriteLock_);
  audioFd_ = std::move(socket);
  commandBytes_ = 0;
}

void AudioForwarder::CloseSocket() {
  std::lock_guard<std::mutex> hold(audioWriteLock_);
  audioFd_.reset();
  commandBytes_ = 0;
}

void AudioForwarder::ArmRecoveryTimer(long ns) { ArmTimer(audioRetryFd_.get(), ns); }

void AudioForwarder::DestroyAudioStream() {
  stream_.reset();
  backend_.reset();
}

// One attempt to bring up the back end and a started stream. quiet leaves
// out the agent's own failure lines (reconnection repeats the same failure
// every 500 ms while PipeWire is away).
bool AudioForwarder::TryStartAudio(bool quiet) {
  COwner<SoundBackend, SoundLib_DestroyBackend> backend(
      SoundLib_CreateBackendMulti(SOUNDLIB_API_PIPEWIRE, nullptr));
  if (backend == nullptr) {
    if (!quiet) Log_Error("SightwellRemote: Failed to create PipeWire audio backend");
    return false;
  }
  SoundStream *created = nullptr;
  if (!SoundLib_CreateSyncSoundStream(backend.get(), &kCaptureParams, kStreamSizeArg,
                                      kStreamCountArg, ForwardAudioBlock, this, &created)) {
    if (!quiet) Log_Error("SightwellRemote: Failed to create audio sound stream");
    return false;
  }
  COwner<SoundStream, StopAndDestroySoundStream> stream(created);
  if (!SoundLib_StartSoundStream(stream.get())) {
    if (!quiet) Log_Error("SightwellRemote: Failed to start audio stream");
    stream.reset();  // before its back end
    // The failed start reported itself through the error event as well;
    // that stream is gone already, there is nothing to recover.
    audioStreamLost_.store(false, std::memory_order_release);
    return false;
  }
  backend_ = std::move(backend);
  stream_ = std::move(stream);
  return true;
}

// A reply goes out whole or not at all: one that went out in part would
// break the framing of everything after it, so the connection is ended
// instead (the routine then drops the socket at its end of stream).
bool AudioForwarder::SendAudioReply(const ChannelMessage &reply) {
  iovec part = {const_cast<ChannelMessage *>(&reply), sizeof reply};
  std::lock_guard<std::mutex> hold(audioWriteLock_);
  const int fd = audioFd_.get();
  if (fd < 0) {
    return false;
  }
  size_t sent = 0;
  if (SendWithin(fd, &part, 1, &sent, kReplyBudgetMs) == 0) {
    return true;
  }
  if (sent > 0) {
    Log_Error("SightwellRemote: Audio reply could not be completed, shutting down audio socket");
    shutdown(fd, SHUT_RDWR);
  }
  return false;
}

void AudioForwarder::AnswerAudioStart(const ChannelMessage &request, ChannelStatus status) {
  ChannelMessage reply = request;
  reply.status = status;
  if (!SendAudioReply(reply)) {
    Log_Error("SightwellRemote: Failed to send REMOTE_AUDIO_START response on audioFd");
  }
  // Blocks flow only from here on, so the echo is the first thing the
  // parent reads after its start.
  if (status == CHANNEL_STATUS_SUCCESS) {
    BeginForwarding();
  }
}

// Ends a start that will make no further attempt; its status is FAILED.
ChannelStatus AudioForwarder::AbandonAudioStart() {
  startAttempts_ = 0;
  ArmRecoveryTimer(0);
  return CHANNEL_STATUS_FAILED;
}

bool AudioForwarder::StopRequestedDuringStart() {
  if (!agentStopping_.IsSet()) {
    return false;
  }
  Log_Info("SightwellRemote: Stop requested, aborting audio capture start");
  AbandonAudioStart();
  return true;
}

// After the failed attempt number startAttempts_: the final failure, or the
// next attempt scheduled on the recovery timer (nullopt).
std::optional<ChannelStatus> AudioForwarder::AfterFailedStartAttempt() {
  if (startAttempts_ >= kStartAttempts || !audioRetryFd_.valid()) {
    Log_Error("SightwellRemote: Failed to start PipeWire audio after %d attempts", startAttempts_);
    return AbandonAudioStart();
  }
  if (StopRequestedDuringStart()) {
    return CHANNEL_STATUS_FAILED;
  }
  Log_Info("SightwellRemote: Retrying PipeWire audio start (attempt %d/%d)", startAttempts_ + 1,
           kStartAttempts);
  ArmRecoveryTimer(kStartRetryPauseNs);
  return std::nullopt;
}

// One attempt of a start, the first or a later one: its status, or nullopt
// when the next attempt is scheduled.
std::optional<ChannelStatus> AudioForwarder::MakeStartAttempt() {
  if (StopRequestedDuringStart()) {
    return CHANNEL_STATUS_FAILED;
  }
  startAttempts_++;
  if (!TryStartAudio(false)) {
    return AfterFailedStartAttempt();
  }
  startAttempts_ = 0;
  Log_Info("SightwellRemote: PipeWire audio capture started: %uch, %uHz, %ubit", kAudioChannels,
           kAudioRate, kAudioBits);
  return CHANNEL_STATUS_SUCCESS;
}

void AudioForwarder::ServeAudioCommand(const ChannelMessage &msg) {
  switch (msg.type) {
    case REMOTE_AUDIO_START: {
      std::optional<ChannelStatus> status = StartAudioCapture();
      if (status) {
        AnswerAudioStart(msg, *status);
      } else {
        startRequest_ = msg;  // echoed once the start resolves
      }
      break;
    }
    case REMOTE_AUDIO_STOP:
      StopAudioCapture();
      break;
    default:
      Log_Warning("SightwellRemote: Unexpected command %d on audioFd", static_cast<int>(msg.type));
      break;
  }
}

std::optional<ChannelStatus> AudioForwarder::StartAudioCapture() {
  if (running()) {
    if (stream_ != nullptr && !audioStreamLost_.load(std::memory_order_acquire)) {
      Log_Info("SightwellRemote: Audio capture already running");
      return CHANNEL_STATUS_SUCCESS;
    }
    // Lost and not back yet: the answer must be about a stream that can
    // deliver, so start one afresh rather than report this one as running.
    // This also ends the reconnection, so the timer is free for the start.
    Log_Info("SightwellRemote: Audio stream is not delivering, starting it again");
    StopAudioCapture();
  }
  startAttempts_ = 0;
  return MakeStartAttempt();
}

void AudioForwarder::StopAudioCapture() {
  if (!running() && stream_ == nullptr && backend_ == nullptr) {
    return;
  }
  audioRunning_.store(false, std::memory_order_release);
  ArmRecoveryTimer(0);
  DestroyAudioStream();
  // A loss reported before the teardown concerns the stream just destroyed.
  audioStreamLost_.store(false, std::memory_order_release);
  reconnectAttempts_ = 0;
  Log_Info("SightwellRemote: PipeWire audio capture stopped");
}

bool AudioForwarder::OpenAudioRecoveryTimer() {
  UniqueFd timer(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!timer.valid()) {
    LogSystemError(kLogError, errno, "SightwellRemote: Failed to create audio recovery timer");
    return false;
  }
  audioRetryFd_ = std::move(timer);
  return true;
}

void AudioForwarder::ServeAudioRecovery() {
  // A timerfd reads like an eventfd: the expirations since the last read.
  bool fired = true;
  if (ReadEventFd(audioRetryFd_.get()) < 0) {
    fired = errno != EAGAIN;
    if (fired) {
      LogSystemError(kLogError, errno, "SightwellRemote: Failed to read audio recovery timer");
    }
  }
  // A pending start has no stream, and audio is not on, so no reconnection
  // shares the timer meanwhile. A wake-up without an expiration predates
  // the last arming: the pause since the last attempt is not over yet.
  if (AudioStartPending()) {
    if (!fired) {
      return;
    }
    if (std::optional<ChannelStatus> status = MakeStartAttempt()) {
      AnswerAudioStart(startRequest_, *status);
    }
    return;
  }
  if (!running()) {
    audioStreamLost_.store(false, std::memory_order_release);
    return;  // audio was stopped meanwhile
  }
  if (agentStopping_.IsSet()) {
    return;  // the routine is about to stop audio for good
  }
  if (audioStreamLost_.exchange(false, std::memory_order_acq_rel)) {
    Log_Warning("SightwellRemote: PipeWire audio stream lost; reconnecting every %ld ms until "
                "PipeWire is back",
                kReconnectPauseNs / 1000000L);
    DestroyAudioStream();
    reconnectAttempts_ = 0;
    // The first attempt also waits: a daemon that just died is not back
    // yet, and a stream that fails at once must not reconnect in a loop.
    ArmRecoveryTimer(kReconnectPauseNs);
    return;
  }
  if (stream_ != nullptr) {
    return;
  }
  reconnectAttempts_++;
  if (TryStartAudio(reconnectAttempts_ > 1)) {
    Log_Info("SightwellRemote: PipeWire audio capture resumed on attempt %d", reconnectAttempts_);
    reconnectAttempts_ = 0;
    return;
  }
  ArmRecoveryTimer(kReconnectPauseNs);
}

bool AudioForwarder::ServeAudioSocket() {
  auto *bytes = reinterpret_cast<uint8_t *>(&command_);
  ssize_t n;
  do {
    n = recv(audioFd_.get(), bytes + commandBytes_, sizeof command_ - commandBytes_, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    return true;
  }
  if (n <= 0) {
    Log_Error("SightwellRemote: Failed to receive audio command from parent (parent died?)");
    commandBytes_ = 0;
    return false;
  }
  commandBytes_ += static_cast<size_t>(n);
  if (commandBytes_ < sizeof command_) {
    return true;  // the rest of the record comes with a later wake-up
  }
  commandBytes_ = 0;
  ServeAudioCommand(command_);
  return true;
}

// The back end has logged the failure; the main thread, woken by the timer,
// tears the stream down and reconnects it.
void AudioForwarder::OnStreamError() {
  audioStreamLost_.store(true, std::memory_order_release);
  ArmRecoveryTimer(1);
}

void AudioForwarder::Forward(const void *payload, uint64_t size) {
  if (!running()) {
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
  std::unique_lock<std::mutex> lock(audioWriteLock_, std::try_to_lock);
  if (!lock.owns_lock()) {
    return;
  }
  const int fd = audioFd_.get();
  if (fd < 0) {
    return;
  }
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = 2;
  // MSG_DONTWAIT: a deferred audio socket may have stayed blocking, and
  // this thread must never wait for the parent.
  // MSG_NOSIGNAL: a parent that went away must not kill the agent.
  // The socket cannot change while the lock is held, so a retry after
  // EINTR goes to the same descriptor.
  ssize_t n;
  while ((n = sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  if (n < 0) {
    int err = errno;
    if (err != EAGAIN && err != EWOULDBLOCK && err != lastSendErrno_) {
      Log_Error("SightwellRemote: Failed to send audio data to parent (errno=%d)", err);
      lastSendErrno_ = err;
    }
    return;  // dropped whole: the framing is intact
  }
  lastSendErrno_ = 0;
  if (static_cast<size_t>(n) == total) {
    return;
  }
  Log_Warning("SightwellRemote: Partial audio write (%zd of %zu bytes)", n, total);
  size_t sent = static_cast<size_t>(n);
  if (SendWithin(fd, iov, 2, &sent, kFinishBlockBudgetMs) == 0) {
    return;
  }
  // The parent reads fixed-size headers: a torn block would break every
  // later one. End the audio connection instead; the parent sees end of
  // stream right after the unfinished block, and the main thread, seeing the
  // socket readable at end of stream, drops and closes it.
  Log_Error("SightwellRemote: Audio block could not be completed, shutting down audio socket");
  shutdown(fd, SHUT_RDWR);
}

void ForwardAudioBlock(int32_t eventCode, const void *payload, uint64_t size, void *clientData) {
  if (clientData == nullptr) {
    return;
  }
  auto *forwarder = static_cast<AudioForwarder *>(clientData);
  if (eventCode == SOUND_EVENT_ERROR) {
    forwarder->OnStreamError();
  } else if (eventCode == SOUND_EVENT_DATA) {
    forwarder->Forward(payload, size);
  }
}
