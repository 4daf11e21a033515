// Audio capture for the parent: one AudioForwarder owns everything of it,
// the audio socket and what has been read of its current command, the
// sound back end and stream, the recovery timer, a pending start's attempts
// and the flags the stream's data thread reads.
//
// The audio socket has two writers, the main thread (replies) and the sound
// stream's data thread (blocks); each holds the write lock for one whole
// message, and the socket is only replaced or closed under that lock.
// Everything else here is the main thread's, except where a member says so.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "base/c_owner.h"
#include "base/channel_message.h"
#include "base/stop_token.h"
#include "lib/misc/unique_fd.h"
#include "lib/soundlib/soundlib.h"

// Stops a stream, then frees it: once it returns no callback of the stream
// runs any more. A stream that never started is only freed.
void StopAndDestroySoundStream(SoundStream *stream);

class AudioForwarder {
 public:
  // agentStopping cuts a pending start short; it must outlive the forwarder.
  explicit AudioForwarder(const StopToken &agentStopping);
  // Stops the stream (so no callback runs any more), then closes the
  // socket and the timer.
  ~AudioForwarder();
  AudioForwarder(const AudioForwarder &) = delete;
  AudioForwarder &operator=(const AudioForwarder &) = delete;

  // The audio socket (`audioFd`), -1 when none is open: the routine polls it.
  int audioFd() const { return audioFd_.get(); }
  // Takes over a connected, greeted audio socket, replacing none.
  void AdoptSocket(UniqueFd socket);
  // Closes the socket under the write lock, so the data thread never
  // writes to a descriptor number that has been closed (and perhaps
  // reused), and forgets a command read in part.
  void CloseSocket();

  // Creates the recovery timer (`audioRetryFd`, a timerfd for the routine's
  // loop). False after logging: audio then works, but a start makes a
  // single attempt and a lost stream waits for the parent's next
  // REMOTE_AUDIO_START.
  bool OpenAudioRecoveryTimer();
  int audioRetryFd() const { return audioRetryFd_.get(); }
  void CloseAudioRecoveryTimer() { audioRetryFd_.reset(); }

  // Starts the audio stream for REMOTE_AUDIO_START: up to ten attempts,
  // 500 ms apart, without ever holding the routine up. The first attempt
  // runs at once; when it fails the start is left pending (nullopt) and
  // ServeAudioRecovery makes the next ones as the timer fires. Otherwise
  // the status: CHANNEL_STATUS_SUCCESS, also when a delivering stream
  // already runs, or CHANNEL_STATUS_FAILED. Without the timer there is no
  // second attempt. A stream that was lost and not yet reconnected is
  // started afresh, never reported as running. A new stream forwards
  // nothing until BeginForwarding, which the command's server calls once
  // the reply is out.
  std::optional<ChannelStatus> StartAudioCapture();
  // Captured blocks go to the parent from now on.
  void BeginForwarding() { audioRunning_.store(true, std::memory_order_release); }
  // A REMOTE_AUDIO_START is waiting for its next attempt; its echo, and
  // with it every later command on the audio socket, waits until it
  // resolves.
  bool AudioStartPending() const { return startAttempts_ > 0; }
  // REMOTE_AUDIO_STOP and every clean-up path; does nothing when not
  // running. When it returns, no callback of the stream runs any more, so
  // the audio socket may be closed, and no reconnection is pending.
  void StopAudioCapture();
  // The timer readable. With a start pending: its next attempt, and the
  // echo on the audio socket once it resolves. Otherwise: tears a lost
  // stream down and makes one attempt to bring it back; a failed attempt
  // fires the timer again in 500 ms.
  void ServeAudioRecovery();
  // The socket readable: takes what has arrived without waiting (at most
  // one record) and serves the command once its record is whole; after it
  // a start may be pending, and the caller must then not read the socket
  // again until it resolves. False when the socket failed or ended and
  // must be dropped by the caller.
  bool ServeAudioSocket();

  // The parent has audio on (`audioRunning`): set once the
  // REMOTE_AUDIO_START echo is out; stays set while a lost stream is being
  // reconnected.
  bool running() const { return audioRunning_.load(std::memory_order_acquire); }
  const SoundStream *stream() const { return stream_.get(); }
  const SoundBackend *backend() const { return backend_.get(); }
  // Bytes read so far of a command whose record is not whole yet.
  size_t partialCommandBytes() const { return commandBytes_; }

 private:
  friend void ForwardAudioBlock(int32_t eventCode, const void *payload, uint64_t size,
                                void *clientData);
  void Forward(const void *payload, uint64_t size);
  void OnStreamError();

  bool TryStartAudio(bool quiet);
  void DestroyAudioStream();
  void ArmRecoveryTimer(long ns);
  std::optional<ChannelStatus> MakeStartAttempt();
  std::optional<ChannelStatus> AfterFailedStartAttempt();
  bool StopRequestedDuringStart();
  ChannelStatus AbandonAudioStart();
  bool SendAudioReply(const ChannelMessage &reply);
  void AnswerAudioStart(const ChannelMessage &request, ChannelStatus status);
  void ServeAudioCommand(const ChannelMessage &msg);

  const StopToken &agentStopping_;

  // Held by each writer for one whole message, and by the main thread
  // while it replaces or closes the socket.
  std::mutex audioWriteLock_;
  UniqueFd audioFd_;
  // errno of the last failed block send, 0 after a block went out; guarded
  // by audioWriteLock_. A broken socket fails every block until the main
  // thread drops it, and one line per failure would log on every buffer.
  int lastSendErrno_ = 0;

  // Timer in the routine's loop, with two uses that never overlap: it
  // paces the attempts of a pending REMOTE_AUDIO_START (no stream exists
  // then), and the reconnection of a lost stream (audio on), fired at once
  // by the error event on the data thread, then every 500 ms while
  // attempts fail.
  UniqueFd audioRetryFd_;

  // Declared before the stream: a back end is destroyed after its stream.
  COwner<SoundBackend, SoundLib_DestroyBackend> backend_;
  COwner<SoundStream, StopAndDestroySoundStream> stream_;

  // Read by the data thread, see running().
  std::atomic<bool> audioRunning_{false};
  // Set by the stream's error event (its daemon went away, or it failed);
  // the main thread tears the stream down and reconnects it.
  std::atomic<bool> audioStreamLost_{false};
  int reconnectAttempts_ = 0;
  // Attempts made so far by a REMOTE_AUDIO_START whose first attempt
  // failed; 0 when no start is pending. The echo is sent from
  // startRequest_ once the start resolves.
  int startAttempts_ = 0;
  ChannelMessage startRequest_{};
  // A command on the audio socket read so far; the routine never waits for
  // the rest of a record.
  ChannelMessage command_{};
  size_t commandBytes_ = 0;
};

// The sound stream's callback (a SoundClientCallback); clientData is the
// AudioForwarder. A data event becomes one REMOTE_AUDIO_DATA block on the
// audio socket, whole or not at all; the writer never waits for the write
// lock (a block that meets a reply being written is dropped). The error
// event marks the stream lost and fires the recovery timer.
void ForwardAudioBlock(int32_t eventCode, const void *payload, uint64_t size, void *clientData);
