// Audio commands of the remote routine, served on the audio socket, and the
// sound stream's callback that forwards captured blocks to the parent.
#pragma once

#include <cstdint>

#include "agent/channel_message.h"

struct RemoteContext;

// REMOTE_AUDIO_START: starts audio capture (up to ten attempts, 500 ms
// apart). Returns CHANNEL_STATUS_SUCCESS (also when already running) or
// CHANNEL_STATUS_FAILED. Main thread only.
ChannelStatus StartAudioCapture(RemoteContext *ctx);
// REMOTE_AUDIO_STOP and every clean-up path; does nothing when not running.
// When it returns, no callback of the stream runs any more, so the audio
// socket may be closed. Main thread only.
void StopAudioCapture(RemoteContext *ctx);
// The sound stream's callback (a SoundClientCallback): writes one captured
// block to the audio socket, whole or not at all, under audioWriteLock.
void ForwardAudioBlock(int32_t eventCode, const void *payload, uint64_t size, void *clientData);
