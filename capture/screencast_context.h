// State of the one screen capture: queues, wake-up descriptors, the
// ScreenCast D-Bus session and the current PipeWire stream attempt.
//
// Threads that touch it: the capture event thread (consumer of the queues,
// stop), the screen cast thread "capture" (session and stream set-up), the
// PipeWire thread loop (state and format callbacks), PipeWire's data thread
// (on_process) and the process worker.
#pragma once

#include <gio/gio.h>
#include <pthread.h>
#include <spa/utils/hook.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "base/channel_message.h"
#include "capture/frame_queue.h"
#include "capture/pipewire_loader.h"

constexpr uint32_t kHandoffSlots = 8;

// Buffers passed from on_process (sole producer) to the process worker (sole
// consumer). Empty when the indices are equal, full at 7 waiting buffers.
// A waiting slot is set to null when PipeWire removes its buffer; the worker
// skips such slots.
struct HandoffRing {
  pw_buffer *slots[kHandoffSlots] = {};
  std::atomic<uint32_t> producer{0};
  std::atomic<uint32_t> consumer{0};
};

struct ScreenCastContext {
  FrameQueue frameQueue;
  int screenFds = -1;  // semaphore-mode eventfd, one unit per queued frame
  CursorQueue cursorQueue;
  int cursorFds = -1;  // semaphore-mode eventfd, one unit per queued update

  char connector[kConnectorNameSize] = {};

  // Session phase (D-Bus).
  GDBusConnection *connection = nullptr;
  char sessionPath[256] = {};       // empty while the attempt has no session
  std::mutex mainLoopLock;          // guards mainLoop against a quit at stop
  GMainLoop *mainLoop = nullptr;    // only while waiting for the node id
  // Signalled under mainLoopLock by a stop, so the pause between failed
  // attempts ends at once.
  std::condition_variable stopSignal;
  uint32_t nodeId = 0;
  // Cancelled by ScreenCastRequestStop, so a stop never waits out a D-Bus
  // call to a compositor that does not answer. Lives as long as the context.
  GCancellable *cancellable = nullptr;
  // What the current attempt holds on the bus, released when it ends: its
  // main context (thread default of the screen cast thread meanwhile) and
  // its signal subscriptions. Touched by the screen cast thread only, except
  // that other threads wake attemptContext under mainLoopLock, under which
  // it is set and cleared.
  GMainContext *attemptContext = nullptr;
  guint ownerSubscription = 0;
  guint closedSubscription = 0;
  guint streamAddedSubscription = 0;
  // The compositor ended the attempt's session itself (Closed, or it left
  // the bus): there is nothing left to stop.
  bool sessionGone = false;

  PipeWireApi pwApi;

  // The current attempt's PipeWire objects.
  pw_thread_loop *threadLoop = nullptr;
  pw_context *context = nullptr;
  pw_core *core = nullptr;
  pw_stream *stream = nullptr;
  spa_hook streamListener = {};
  // Watches the producer's node: its removal ends the attempt. Destroyed
  // before the core is disconnected.
  pw_registry *registry = nullptr;
  spa_hook registryListener = {};
  // Set while the stream is STREAMING (PipeWire thread), read by the poll
  // loop to notice a stream that is left without a producer.
  std::atomic<bool> streaming{false};
  // pw_stream_queue_buffer is called by on_process and by the worker; PipeWire
  // takes returned buffers from one writer at a time.
  std::mutex queueBufferLock;

  std::atomic<bool> stopRequested{false};
  std::atomic<uint32_t> streamClosed{0};

  // Negotiated format and the destripe scratch buffer. Written by
  // on_param_changed, read by the process worker, both under formatLock.
  std::mutex formatLock;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t packedStride = 0;
  uint8_t *scratchBuffer = nullptr;
  uint32_t scratchCapacity = 0;

  HandoffRing handoff;
  // PipeWire frees a buffer right after its remove_buffer event (a format
  // change, or the compositor's node going away). The worker holds this lock
  // while it takes one buffer from the ring, processes and returns it;
  // on_remove_buffer takes it to wait for that buffer and to drop the removed
  // buffer from the ring, so the worker never touches a freed buffer. Never
  // held across the worker's eventfd wait. Order: bufferLock, then formatLock
  // or queueBufferLock.
  std::mutex bufferLock;
  std::atomic<int> handoffFd{-1};
  pthread_t workerThread = {};
  std::atomic<bool> workerStop{false};
};

// The remote routine creates the context once (before LoadPipeWireLibrary
// fills ctx->pwApi) and destroys it after the screen cast thread is joined.
ScreenCastContext *CreateScreenCastContext(void);
void DestroyScreenCastContext(ScreenCastContext *ctx);

// Entry of the thread "capture": retries screen-cast attempts until
// stopRequested is set. data is the ScreenCastContext. Before starting it the
// capture event thread sets connector, screenFds, cursorFds and clears
// stopRequested.
void ScreenCastThreadMain(void *data);
// One attempt: the D-Bus session phase, then the stream phase. true when the
// stream phase reached its poll loop.
bool RunScreenCastAttempt(ScreenCastContext *ctx);
// Quits the session phase's main loop of the current attempt, if any. Safe
// from any thread, also while the loop is being created, run or released.
void ScreenCastRequestQuit(ScreenCastContext *ctx);
// Sets stopRequested, cancels the pending D-Bus calls, quits the session
// phase's loop and wakes the stream phase's poll loop; the caller then joins
// the screen cast thread.
void ScreenCastRequestStop(ScreenCastContext *ctx);

// Stream callbacks and the frame path (exposed for tests and the fuzzer).
void on_process(void *data);
void on_param_changed(void *data, uint32_t id, const spa_pod *param);
void on_state_changed(void *data, pw_stream_state old, pw_stream_state state,
                      const char *error);
void on_remove_buffer(void *data, pw_buffer *buffer);
void *ProcessWorker(void *data);
// Processes one buffer; the caller returns it to PipeWire afterwards.
void ProcessBuffer(ScreenCastContext *ctx, pw_buffer *buffer);
