// The capture event thread ("captureEvent"): brings up the session, input
// and screen cast threads, delivers frames, cursor updates and the logout
// notice to the parent, and winds everything down at a stop.
#pragma once

#include "lib/misc/unique_fd.h"

// Thread body; data is the RemoteContext. Always ends with RequestStop on
// remoteWakerFd.
void CaptureEventThread(void *data);

// Removes the inotify watch wd (when valid) and closes fd.
void RemoveSessionWatch(UniqueFd fd, int wd);
