// State of the one screen capture: queues, wake-up descriptors, the
// ScreenCast D-Bus session and the current PipeWire stream attempt.
#pragma once

#include <atomic>
#include <cstdint>

#include "agent/channel_message.h"
#include "capture/frame_queue.h"

struct ScreenCastContext;

// Entry of the thread "capture": retries screen-cast attempts until
// stopRequested is set. data is the ScreenCastContext.
void ScreenCastThreadMain(void *data);
// Quits the session phase's main loop of the current attempt, if any
// (called by the capture event thread when it stops capture).
void ScreenCastRequestQuit(ScreenCastContext *ctx);
