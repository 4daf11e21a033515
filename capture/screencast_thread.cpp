// The screen cast thread: repeats capture attempts (D-Bus session phase, then
// the PipeWire stream phase) until capture is stopped.
#include <pthread.h>
#include <spa/pod/builder.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "capture/screencast_context.h"
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
  ctx->handoff.producer.store(0, std::memory_order_release);
  ctx->handoff.consumer.store(0, std::memory_order_release);
  int fd = eventfd(0, EFD_CLOEXEC);
  if (fd < 0) {
    Log_Error("[%s] Failed to create handoff eventfd: errno=%d\n", ctx->connector, errno);
    return false;
  }
  ctx->handoffFd.store(fd, std::memory_order_release);
  ctx->workerStop.exchange(false, std::memory_order_acq_rel);
  int rc = pthread_create(&ctx->workerThread, nullptr, WorkerEntry, ctx);
  if (rc != 0) {
    Log_Error("[%s] Failed to create process worker thread: rc=%d\n", ctx->connector, rc);
    ctx->handoffFd.store(-1, std::memory_order_release);
    close(fd);
    return false;
  }
  return true;
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
  ctx->registryListener = spa_hook{};
  ctx->registry = pw_core_get_registry(ctx->core, PW_VERSION_REGISTRY, 0);
  if (ctx->registry != nullptr) {
    pw_registry_add_listener(ctx->registry, &ctx->registryListener, &kRegistryEvents, ctx);
  }
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
  GSource *deadline = g_source_new(&kNoProducerDeadlineFuncs, sizeof(GSource));
  g_source_attach(deadline, ctx->attemptContext);
  gint64 lastStreaming = g_get_monotonic_time();
  bool wasStreaming = false;
  while (!ctx->stopRequested.load(std::memory_order_acquire) &&
         ctx->streamClosed.load(std::memory_order_acquire) == 0) {
    const gint64 now = g_get_monotonic_time();
    if (ctx->streaming.load(std::memory_order_acquire)) {
      wasStreaming = true;
      g_source_set_ready_time(deadline, -1);
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
      g_source_set_ready_time(deadline, lastStreaming + kLimitUs);
    }
    g_main_context_iteration(ctx->attemptContext, TRUE);
  }
  g_source_destroy(deadline);
  g_source_unref(deadline);
}

// With the thread loop stopped or not yet started. Disconnecting the core
// only detaches the proxies made on it; each must be destroyed by its owner.
void DestroyStreamAndCore(ScreenCastContext *ctx) {
  if (ctx->stream != nullptr) {
    ctx->pwApi.pw_stream_destroy(ctx->stream);
    ctx->stream = nullptr;
  }
  if (ctx->registry != nullptr) {
    spa_hook_remove(&ctx->registryListener);
    ctx->pwApi.pw_proxy_destroy(reinterpret_cast<pw_proxy *>(ctx->registry));
    ctx->registry = nullptr;
  }
  ctx->pwApi.pw_core_disconnect(ctx->core);
  ctx->core = nullptr;
}

void StopWorker(ScreenCastContext *ctx) {
  ctx->workerStop.exchange(true, std::memory_order_acq_rel);
  const int fd = ctx->handoffFd.load(std::memory_order_acquire);
  if (fd >= 0) {
    const uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
  pthread_join(ctx->workerThread, nullptr);
}

// Waits before the next attempt after a failed one, or less when a stop
// comes meanwhile.
void PauseBeforeRetry(ScreenCastContext *ctx) {
  std::unique_lock<std::mutex> hold(ctx->mainLoopLock);
  ctx->stopSignal.wait_for(hold, std::chrono::milliseconds(500), [ctx] {
    return ctx->stopRequested.load(std::memory_order_acquire);
  });
}

}  // namespace

bool RunStreamPhase(ScreenCastContext *ctx) {
  const PipeWireApi &pw = ctx->pwApi;
  bool result = false;

  pw.pw_init(nullptr, nullptr);
  ctx->threadLoop = pw.pw_thread_loop_new("pipewire-loop", nullptr);
  if (ctx->threadLoop == nullptr) {
    Log_Error("Failed to create pw_thread_loop\n");
    return false;
  }
  ctx->context = pw.pw_context_new(pw.pw_thread_loop_get_loop(ctx->threadLoop), nullptr, 0);
  if (ctx->context == nullptr) {
    Log_Error("Failed to initialize pw_context\n");
  } else {
    ctx->core = pw.pw_context_connect(ctx->context, nullptr, 0);
    if (ctx->core == nullptr) {
      Log_Error("Failed to connect pw_core: errno=%d\n", errno);
    } else {
      pw_properties *props = pw.pw_properties_new(nullptr, nullptr);
      if (props != nullptr) {
        pw.pw_properties_setf(props, "node.id", "%u", ctx->nodeId);
      }
      pw.pw_thread_loop_lock(ctx->threadLoop);
      // pw_stream_new takes ownership of props, also when it fails.
      ctx->stream = props != nullptr ? pw.pw_stream_new(ctx->core, "screen-capture", props)
                                     : nullptr;
      bool started = false;
      if (ctx->stream == nullptr) {
        Log_Error("[%s] Failed to create pw_stream: errno=%d\n", ctx->connector, errno);
      } else {
        ctx->streamListener = spa_hook{};
        ctx->streaming.store(false, std::memory_order_release);
        pw.pw_stream_add_listener(ctx->stream, &ctx->streamListener, &kStreamEvents, ctx);
        WatchProducerNode(ctx);
        uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod *format = BuildVideoFormatParam(&builder);
        Log_Info("Connecting to stream over nodeId: %u\n", ctx->nodeId);
        pw.pw_stream_connect(ctx->stream, PW_DIRECTION_INPUT, ctx->nodeId,
                             static_cast<pw_stream_flags>(kStreamFlags), &format, 1);
        started = StartWorker(ctx);
      }
      if (!started) {
        Log_Error("[%s] Process worker not started; aborting PipeWire attempt and retrying\n",
                  ctx->connector);
        pw.pw_thread_loop_unlock(ctx->threadLoop);
        DestroyStreamAndCore(ctx);
      } else {
        pw.pw_thread_loop_unlock(ctx->threadLoop);
        pw.pw_thread_loop_start(ctx->threadLoop);
        Log_Info("[%s] pw_thread_loop_start done, entering poll loop\n", ctx->connector);

        PollUntilClosed(ctx);
        if (ctx->streamClosed.load(std::memory_order_acquire) != 0) {
          Log_Info("[%s] stream closed by compositor \u2014 will retry\n", ctx->connector);
        }

        StopWorker(ctx);
        // on_process may still run until the stream is destroyed: it sees the
        // invalid descriptor and returns buffers at once. The descriptor is
        // closed only afterwards, so it never writes to a closed (or reused)
        // descriptor number.
        const int fd = ctx->handoffFd.exchange(-1, std::memory_order_acq_rel);
        pw.pw_thread_loop_stop(ctx->threadLoop);
        DestroyStreamAndCore(ctx);
        close(fd);
        result = true;
      }
    }
    // Destroyed on a stop too: the context owns PipeWire's data-loop thread,
    // which must be gone before the library may be unloaded.
    pw.pw_context_destroy(ctx->context);
    ctx->context = nullptr;
  }
  pw.pw_thread_loop_destroy(ctx->threadLoop);
  ctx->threadLoop = nullptr;
  return result;
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
  g_cancellable_reset(ctx->cancellable);
  ResetFrameQueue(&ctx->frameQueue, ctx->connector);
  ResetCursorQueue(&ctx->cursorQueue, ctx->connector);
  while (!ctx->stopRequested.load(std::memory_order_acquire)) {
    if (!RunScreenCastAttempt(ctx)) {
      Log_Warning("Screen cast thread for connector %s exited with failure\n", ctx->connector);
      PauseBeforeRetry(ctx);
    }
    if (ctx->connection != nullptr) {
      g_object_unref(ctx->connection);
      ctx->connection = nullptr;
    }
  }
}

ScreenCastContext *CreateScreenCastContext(void) {
  auto *ctx = new ScreenCastContext();
  ctx->cancellable = g_cancellable_new();
  return ctx;
}

void DestroyScreenCastContext(ScreenCastContext *ctx) {
  if (ctx == nullptr) {
    return;
  }
  for (FrameSlot &slot : ctx->frameQueue.slots) {
    ReleaseCaptureFrame(&slot.frame);
  }
  for (CursorSlot &slot : ctx->cursorQueue.slots) {
    ReleaseCursorUpdate(&slot.update);
  }
  free(ctx->scratchBuffer);
  if (ctx->connection != nullptr) {
    g_object_unref(ctx->connection);
  }
  g_object_unref(ctx->cancellable);
  delete ctx;
}
