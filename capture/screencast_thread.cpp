// The screen cast thread: repeats capture attempts (D-Bus session phase, then
// the PipeWire stream phase) until capture is stopped.
#include <pthread.h>
#include <spa/pod/builder.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "base/event_fd.h"
#include "capture/screencast_internal.h"
#include "lib/log/log.h"

namespace {

const pw_stream_events kStreamEvents = [] {
  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.state_changed = on_state_changed;
  events.param_changed = on_param_changed;
  events.process = on_process;
  // The worker may hold a buffer that PipeWire is about to free.
  events.remove_buffer = on_remove_buffer;
  return events;
}();

constexpr uint32_t kStreamFlags =
    PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS;
static_assert(kStreamFlags == 0x15);

void *WorkerEntry(void *data) { return ProcessWorker(data); }

// Creates the handoff eventfd and the worker; false (logged) when either fails.
bool StartWorker(ScreenCastContext *ctx) {
  ctx->handoff.Reset();
  UniqueFd fd = MakeEventFd(0);
  if (!fd.valid()) {
    Log_Error("[%s] Failed to create handoff eventfd: errno=%d\n", ctx->connector, errno);
    return false;
  }
  ctx->handoffFd.store(fd.get(), std::memory_order_release);
  ctx->workerStop.exchange(false, std::memory_order_acq_rel);
  int rc = pthread_create(&ctx->workerThread, nullptr, WorkerEntry, ctx);
  if (rc != 0) {
    Log_Error("[%s] Failed to create process worker thread: rc=%d\n", ctx->connector, rc);
    ctx->handoffFd.store(-1, std::memory_order_release);
    return false;
  }
  ctx->handoffFdOwner = std::move(fd);
  return true;
}

// Ends the worker and takes the handoff eventfd out of on_process's reach.
// on_process may still run until the stream is destroyed: it then sees the
// invalid descriptor and returns buffers at once. The descriptor itself stays
// open (handoffFdOwner) until the stream is gone.
void StopWorker(ScreenCastContext *ctx) {
  ctx->workerStop.exchange(true, std::memory_order_acq_rel);
  const int fd = ctx->handoffFd.load(std::memory_order_acquire);
  if (fd >= 0) {
    SignalEventFd(fd);
  }
  pthread_join(ctx->workerThread, nullptr);
  ctx->handoffFd.store(-1, std::memory_order_release);
}

void on_registry_global_remove(void *data, uint32_t id) {
  auto *ctx = static_cast<ScreenCastContext *>(data);
  if (id != ctx->nodeId) {
    return;
  }
  Log_Warning("[%s] the compositor's node %u went away \u2014 will retry\n", ctx->connector, id);
  CloseAttempt(ctx);
}

const pw_registry_events kRegistryEvents = [] {
  pw_registry_events events{};
  events.version = PW_VERSION_REGISTRY_EVENTS;
  events.global_remove = on_registry_global_remove;
  return events;
}();

// Watches the registry for the producer's node going away. A stream whose
// producer vanishes is only paused by PipeWire and would wait for another
// link for ever. Runs under the thread loop lock.
void WatchProducerNode(ScreenCastContext *ctx) {
  ctx->registry.adopt(ctx->pwApi, pw_core_get_registry(ctx->core.get(), PW_VERSION_REGISTRY, 0),
                      &kRegistryEvents, ctx);
}

// A stream out of STREAMING this long has no producer (a node that was gone
// before the link was made, a session manager that never links it); a
// format change or a link takes milliseconds, even on a loaded machine.
constexpr auto kNoProducerLimit = std::chrono::seconds(10);

// Becomes ready when the stream has been out of STREAMING for too long; the
// poll loop moves its ready time as the stream comes and goes.
gboolean DispatchNoProducerDeadline(GSource *source, GSourceFunc, gpointer) {
  g_source_set_ready_time(source, -1);
  return G_SOURCE_CONTINUE;
}

GSourceFuncs kNoProducerDeadlineFuncs = {nullptr, nullptr, DispatchNoProducerDeadline,
                                         nullptr, nullptr,  nullptr};

// The poll loop: sleeps on the attempt's context, dispatching its D-Bus
// signals, until the attempt is closed, a stop is requested or the stream
// has been left without a producer. Whoever changes one of those wakes the
// context (WakeAttempt), so a capture of a static screen never wakes here.
void PollUntilClosed(ScreenCastContext *ctx) {
  constexpr gint64 kLimitUs = std::chrono::microseconds(kNoProducerLimit).count();
  AttachedSource deadline(g_source_new(&kNoProducerDeadlineFuncs, sizeof(GSource)));
  g_source_attach(deadline.get(), ctx->attemptContext.get());
  gint64 lastStreaming = g_get_monotonic_time();
  bool wasStreaming = false;
  while (!ctx->stopRequested.load(std::memory_order_acquire) &&
         ctx->streamClosed.load(std::memory_order_acquire) == 0) {
    const gint64 now = g_get_monotonic_time();
    if (ctx->streaming.load(std::memory_order_acquire)) {
      wasStreaming = true;
      g_source_set_ready_time(deadline.get(), -1);
    } else {
      if (wasStreaming) {
        lastStreaming = now;
        wasStreaming = false;
      }
      if (now - lastStreaming >= kLimitUs) {
        Log_Warning("[%s] stream has had no producer for %lld s \u2014 will retry\n", ctx->connector,
                    static_cast<long long>(kNoProducerLimit.count()));
        ctx->streamClosed.exchange(1, std::memory_order_acq_rel);
        break;
      }
      g_source_set_ready_time(deadline.get(), lastStreaming + kLimitUs);
    }
    g_main_context_iteration(ctx->attemptContext.get(), TRUE);
  }
}

// Waits before the next attempt after a failed one, or less when a stop
// comes meanwhile.
void PauseBeforeRetry(ScreenCastContext *ctx) {
  std::unique_lock<std::mutex> hold(ctx->mainLoopLock);
  ctx->stopSignal.wait_for(hold, std::chrono::milliseconds(500), [ctx] {
    return ctx->stopRequested.load(std::memory_order_acquire);
  });
}

// Creates the attempt's thread loop, context and core; false (logged) when
// one of them fails.
bool ConnectToPipeWire(ScreenCastContext *ctx) {
  const PipeWireApi &pw = ctx->pwApi;
  pw.pw_init(nullptr, nullptr);
  ctx->threadLoop.adopt(pw, pw.pw_thread_loop_new("pipewire-loop", nullptr));
  if (!ctx->threadLoop) {
    Log_Error("Failed to create pw_thread_loop\n");
    return false;
  }
  ctx->context.adopt(pw, pw.pw_context_new(pw.pw_thread_loop_get_loop(ctx->threadLoop.get()),
                                           nullptr, 0));
  if (!ctx->context) {
    Log_Error("Failed to initialize pw_context\n");
    return false;
  }
  ctx->core.adopt(pw, pw.pw_context_connect(ctx->context.get(), nullptr, 0));
  if (!ctx->core) {
    Log_Error("Failed to connect pw_core: errno=%d\n", errno);
    return false;
  }
  return true;
}

// Under the thread loop lock: creates the stream on the compositor's node,
// listens to it and to the registry, and connects it. false (logged) when
// the stream could not be created.
bool ConnectStream(ScreenCastContext *ctx) {
  const PipeWireApi &pw = ctx->pwApi;
  pw_properties *props = pw.pw_properties_new(nullptr, nullptr);
  if (props != nullptr) {
    pw.pw_properties_setf(props, "node.id", "%u", ctx->nodeId);
  }
  ctx->streaming.store(false, std::memory_order_release);
  // pw_stream_new takes ownership of props, also when it fails.
  ctx->stream.adopt(pw,
                    props != nullptr ? pw.pw_stream_new(ctx->core.get(), "screen-capture", props)
                                     : nullptr,
                    &kStreamEvents, ctx);
  if (ctx->stream.get() == nullptr) {
    Log_Error("[%s] Failed to create pw_stream: errno=%d\n", ctx->connector, errno);
    return false;
  }
  WatchProducerNode(ctx);
  uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod *format = BuildVideoFormatParam(&builder);
  Log_Info("Connecting to stream over nodeId: %u\n", ctx->nodeId);
  pw.pw_stream_connect(ctx->stream.get(), PW_DIRECTION_INPUT, ctx->nodeId,
                       static_cast<pw_stream_flags>(kStreamFlags), &format, 1);
  return true;
}

// Runs the thread loop and waits in the poll loop until the attempt ends.
void StreamUntilClosed(ScreenCastContext *ctx) {
  ctx->pwApi.pw_thread_loop_start(ctx->threadLoop.get());
  ctx->threadLoopRunning = true;
  Log_Info("[%s] pw_thread_loop_start done, entering poll loop\n", ctx->connector);
  PollUntilClosed(ctx);
  if (ctx->streamClosed.load(std::memory_order_acquire) != 0) {
    Log_Info("[%s] stream closed by compositor \u2014 will retry\n", ctx->connector);
  }
}

// Releases whatever the attempt made, in the one order that is safe: the
// thread loop stops first, so no callback runs during the rest; the stream
// and the registry go before the core is disconnected (disconnecting only
// detaches them); the handoff eventfd closes once the stream that fed it is
// gone; the context goes before the thread loop is destroyed, on a stop too,
// since it owns PipeWire's data-loop thread, which must be gone before the
// library may be unloaded.
void ReleaseStreamObjects(ScreenCastContext *ctx) {
  if (ctx->threadLoopRunning) {
    ctx->pwApi.pw_thread_loop_stop(ctx->threadLoop.get());
    ctx->threadLoopRunning = false;
  }
  ctx->stream.reset();
  ctx->registry.reset();
  ctx->core.reset();
  ctx->handoffFdOwner.reset();
  ctx->context.reset();
  ctx->threadLoop.reset();
}

}  // namespace

bool RunStreamPhase(ScreenCastContext *ctx) {
  bool reachedPoll = false;
  if (ConnectToPipeWire(ctx)) {
    const PipeWireApi &pw = ctx->pwApi;
    pw.pw_thread_loop_lock(ctx->threadLoop.get());
    const bool started = ConnectStream(ctx) && StartWorker(ctx);
    pw.pw_thread_loop_unlock(ctx->threadLoop.get());
    if (!started) {
      Log_Error("[%s] Process worker not started; aborting PipeWire attempt and retrying\n",
                ctx->connector);
    } else {
      StreamUntilClosed(ctx);
      StopWorker(ctx);
      reachedPoll = true;
    }
  }
  ReleaseStreamObjects(ctx);
  return reachedPoll;
}

bool RunScreenCastAttempt(ScreenCastContext *ctx) {
  bool result = false;
  if (RunSessionPhase(ctx)) {
    result = RunStreamPhase(ctx);
  }
  EndSession(ctx);
  return result;
}

void ScreenCastThreadMain(void *data) {
  auto *ctx = static_cast<ScreenCastContext *>(data);
  // A cancel left from an earlier capture; a stop that comes before this
  // reset is still seen through stopRequested.
  g_cancellable_reset(ctx->cancellable.get());
  ResetFrameQueue(&ctx->frameQueue, ctx->connector);
  ResetCursorQueue(&ctx->cursorQueue, ctx->connector);
  while (!ctx->stopRequested.load(std::memory_order_acquire)) {
    if (!RunScreenCastAttempt(ctx)) {
      Log_Warning("Screen cast thread for connector %s exited with failure\n", ctx->connector);
      PauseBeforeRetry(ctx);
    }
    ctx->connection.reset();
  }
}

ScreenCastContext::ScreenCastContext() : cancellable(g_cancellable_new()) {}

ScreenCastContext::~ScreenCastContext() {
  for (FrameSlot &slot : frameQueue.slots) {
    ReleaseCaptureFrame(&slot.frame);
  }
  for (CursorSlot &slot : cursorQueue.slots) {
    ReleaseCursorUpdate(&slot.update);
  }
  free(scratchBuffer);
}
