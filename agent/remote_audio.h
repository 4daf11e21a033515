// Audio commands of the remote routine, served on the audio socket, and the
// sound stream's callback that forwards captured blocks to the parent.
#pragma once

#include <cstdint>
#include <optional>

#include "base/channel_message.h"

struct RemoteContext;

// Starts the audio stream for REMOTE_AUDIO_START: up to ten attempts, 500 ms
// apart, without ever holding the routine up. The first attempt runs at
// once; when it fails the start is left pending (nullopt) and
// ServeAudioRecovery makes the next ones as audioRetryFd fires. Otherwise
// the status: CHANNEL_STATUS_SUCCESS, also when a delivering stream already
// runs, or CHANNEL_STATUS_FAILED. Without audioRetryFd there is no second
// attempt. A stream that was lost and not yet reconnected is started
// afresh, never reported as running. A new stream forwards nothing until
// the caller sets audioRunning, which it does once the reply is out.
// Main thread only.
std::optional<ChannelStatus> StartAudioCapture(RemoteContext *ctx);
// A REMOTE_AUDIO_START is waiting for its next attempt; its echo, and with
// it every later command on the audio socket, waits until it resolves.
bool AudioStartPending(const RemoteContext *ctx);
// REMOTE_AUDIO_STOP and every clean-up path; does nothing when not running.
// When it returns, no callback of the stream runs any more, so the audio
// socket may be closed, and no reconnection is pending. Main thread only.
void StopAudioCapture(RemoteContext *ctx);
// The sound stream's callback (a SoundClientCallback). A data event becomes
// one block on the audio socket, whole or not at all; the writer never waits
// for audioWriteLock (a block that meets a reply being written is dropped).
// The error event marks the stream lost and fires audioRetryFd.
void ForwardAudioBlock(int32_t eventCode, const void *payload, uint64_t size, void *clientData);

// Creates audioRetryFd (a timerfd for the routine's loop). False after
// logging: audio then works, but a start makes a single attempt and a lost
// stream waits for the parent's next REMOTE_AUDIO_START.
bool OpenAudioRecoveryTimer(RemoteContext *ctx);
// audioRetryFd readable. With a start pending: its next attempt, and the
// echo on the audio socket once it resolves. Otherwise: tears a lost stream
// down and makes one attempt to bring it back; a failed attempt fires the
// timer again in 500 ms. Main thread only.
void ServeAudioRecovery(RemoteContext *ctx);
// The audio socket readable: takes what has arrived without waiting (at
// most one record) and serves the command once its record is whole; after
// it a start may be pending, and the caller must then not read the socket
// again until it resolves. False when the socket failed or ended and must
// be dropped by the caller. Main thread only.
bool ServeAudioSocket(RemoteContext *ctx);
