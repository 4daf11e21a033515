// State of the one screen capture: queues, wake-up descriptors, the
// ScreenCast D-Bus session and the current PipeWire stream attempt. Owned by
// ScreenCapture (capture/screen_capture.h); this header is the capture's
// inside, shared by its sources, its tests and the fuzzer.
//
// Threads that touch it: the capture event thread (consumer of the queues,
// stop), the screen cast thread "capture" (session and stream set-up), the
// PipeWire thread loop (state and format callbacks), PipeWire's data thread
// (on_process) and the process worker.
#pragma once

#include <gio/gio.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "base/c_owner.h"
#include "base/channel_message.h"
#include "base/glib_owner.h"
#include "base/spsc_ring.h"
#include "capture/cursor_shape.h"
#include "capture/frame_queue.h"
#include "capture/pipewire_loader.h"
#include "capture/pipewire_owner.h"
#include "lib/misc/unique_fd.h"

constexpr uint32_t kHandoffSlots = 8;

// Buffers passed from on_process (sole producer) to the process worker (sole
// consumer); at most 7 wait. A waiting slot is set to null when PipeWire
// removes its buffer; the worker skips such slots.
using HandoffRing = SpscRing<pw_buffer *, kHandoffSlots>;

using MainContextOwner = COwner<GMainContext, g_main_context_unref>;

struct ScreenCastContext {
  ScreenCastContext();
  ~ScreenCastContext();
  ScreenCastContext(const ScreenCastContext &) = delete;
  ScreenCastContext &operator=(const ScreenCastContext &) = delete;

  FrameQueue frameQueue;
  int screenFds = -1;  // semaphore-mode eventfd, one unit per queued frame (not owned)
  CursorQueue cursorQueue;
  int cursorFds = -1;  // semaphore-mode eventfd, one unit per queued update (not owned)
  // Whether a cursor update's bitmap goes to the parent; reset by a format
  // change, asked by the capture event thread.
  CursorShapeTracker cursorShape;

  char connector[kConnectorNameSize] = {};

  // Session phase (D-Bus).
  GRef<GDBusConnection> connection;  // one attempt's, released after it
  char sessionPath[256] = {};       // empty while the attempt has no session
  std::mutex mainLoopLock;          // guards mainLoop against a quit at stop
  GMainLoop *mainLoop = nullptr;    // only while waiting for the node id (owned by the waiter)
  // Signalled under mainLoopLock by a stop, so the pause between failed
  // attempts ends at once.
  std::condition_variable stopSignal;
  uint32_t nodeId = 0;
  // Cancelled by ScreenCastRequestStop, so a stop never waits out a D-Bus
  // call to a compositor that does not answer. Lives as long as the context.
  GRef<GCancellable> cancellable;
  // What the current attempt holds on the bus, released when it ends: its
  // main context (thread default of the screen cast thread meanwhile) and
  // its signal subscriptions. Touched by the screen cast thread only, except
  // that other threads wake attemptContext under mainLoopLock, under which
  // it is set and cleared.
  MainContextOwner attemptContext;
  BusSubscription ownerSubscription;
  BusSubscription closedSubscription;
  BusSubscription streamAddedSubscription;
  // The compositor ended the attempt's session itself (Closed, or it left
  // the bus): there is nothing left to stop.
  bool sessionGone = false;

  PipeWireApi pwApi;

  // The current attempt's PipeWire objects, in the order they are made.
  // They are released by ReleaseStreamObjects (capture/screencast_thread.cpp)
  // in the one order that is safe, which is not quite the reverse.
  PipeWireThreadLoop threadLoop;
  bool threadLoopRunning = false;
  PipeWireContext context;
  PipeWireCore core;
  // Watches the producer's node: its removal ends the attempt. Destroyed
  // before the core is disconnected.
  PipeWireRegistry registry;
  PipeWireStream stream;
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
  uint8_t *scratchBuffer = nullptr;  // owned (AllocFrameBuffer)
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
  // The handoff eventfd as on_process sees it: -1 once the worker is gone.
  // handoffFdOwner keeps the descriptor open until the stream is destroyed,
  // so on_process never writes to a closed (or reused) descriptor number.
  std::atomic<int> handoffFd{-1};
  UniqueFd handoffFdOwner;
  pthread_t workerThread = {};
  std::atomic<bool> workerStop{false};
};
