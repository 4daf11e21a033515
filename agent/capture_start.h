// REMOTE_CAPTURE_START: moving the process into the desktop session and
// starting the capture event thread.
#pragma once

#include "base/channel_message.h"

struct RemoteContext;

enum class CaptureStartResult {
  kStarted,  // replied with the echo; capture runs
  kRefused,  // REMOTE_ERROR sent; the agent keeps serving
  kFatal,    // the reply could not be sent; the routine must end
};

// Serves one capture start. epollFd is the remote routine's epoll instance,
// which a deferred audio socket opened here joins.
CaptureStartResult StartCapture(RemoteContext *ctx, int epollFd, const ChannelMessage &command);
