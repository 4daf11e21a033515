// Audio commands of the remote routine, served on the audio socket.
#pragma once

#include "agent/channel_message.h"

struct RemoteContext;

// REMOTE_AUDIO_START: starts audio capture (up to ten attempts, 500 ms
// apart). Returns CHANNEL_STATUS_SUCCESS (also when already running) or
// CHANNEL_STATUS_FAILED.
ChannelStatus StartAudioCapture(RemoteContext *ctx);
// REMOTE_AUDIO_STOP and every clean-up path; does nothing when not running.
void StopAudioCapture(RemoteContext *ctx);
// The sound stream's callback: writes one captured block to the audio socket.
void ForwardAudioBlock(int eventCode, const void *payload, uint32_t size, void *clientData);
