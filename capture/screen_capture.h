// One screen capture, as the agent sees it: the screen cast thread "capture"
// and its process worker, the frame and cursor queues with their eventfds,
// the cursor shape tracker and the PipeWire library they run on.
//
// Threads: the object is made and released by the remote routine; Start,
// Stop, the pops and CursorShapeChanged belong to the capture event thread;
// the rest of the capture runs on threads of its own.
#pragma once

#include <memory>

#include "capture/frame_queue.h"
#include "lib/misc/unique_fd.h"
#include "lib/thread/vthread.h"

struct ScreenCastContext;

class ScreenCapture {
 public:
  // Adopts the two semaphore-mode eventfds on which queued frames
  // (screenFds) and cursor updates (cursorFds) are counted.
  ScreenCapture(UniqueFd screenFds, UniqueFd cursorFds);
  // Stops the capture if it runs, then releases it and unloads PipeWire.
  ~ScreenCapture();
  ScreenCapture(const ScreenCapture &) = delete;
  ScreenCapture &operator=(const ScreenCapture &) = delete;

  // Opens the PipeWire library the capture runs on. 0, or -1 (logged).
  int LoadPipeWire();
  // Closes it again; only once the capture is stopped, since the capture
  // calls into it. Unloading twice is harmless.
  void UnloadPipeWire();

  // The connector to record (at most 31 characters are kept); before Start.
  void SetConnector(const char *connector);
  // Starts the thread "capture", which retries screen-cast attempts until
  // Stop. false when the thread could not be created.
  bool Start();
  bool running() const { return thread_ != 0; }
  // Ends the capture: pending D-Bus calls are cancelled and every wait of the
  // capture thread is bounded, so the join returns promptly. Harmless when
  // not running.
  void Stop();

  // The descriptors to poll: one unit per queued frame / cursor update.
  int screenFds() const { return screenFds_.get(); }
  int cursorFds() const { return cursorFds_.get(); }
  // Moves the oldest frame into out (PopCaptureBuffer); false when none.
  bool PopFrame(CaptureFrame *out);
  // Copies the oldest cursor update into out (PopCursorBuffer); false when
  // none.
  bool PopCursor(CursorUpdate *out);
  // true when update's bitmap must go to the parent with it: its shape
  // differs from the last one sent.
  bool CursorShapeChanged(const CursorUpdate &update);

 private:
  UniqueFd screenFds_;
  UniqueFd cursorFds_;
  void *pipeWireHandle_ = nullptr;  // closed by UnloadPipeWire
  std::unique_ptr<ScreenCastContext> context_;
  VThreadID thread_ = 0;
};
