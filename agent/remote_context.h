// RemoteContext: all state of the agent, owned by the remote routine for the
// life of the process and shared by reference with every thread it starts.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "base/channel_message.h"
#include "base/stop_token.h"
#include "capture/screencast_context.h"
#include "lib/misc/unique_fd.h"
#include "lib/thread/vthread.h"

struct ei_device;
struct SoundBackend;
struct SoundStream;
struct _GMainLoop;
struct _GDBusConnection;

// The session thread's state (logout detection on the session bus).
struct SessionBusState {
  // The loop is created, run and released by the session thread and quit by
  // the capture event thread at stop; the lock keeps a quit from racing the
  // release.
  std::mutex mainLoopLock;
  _GMainLoop *mainLoop = nullptr;
  // Signalled (under mainLoopLock) by every quit, so the pause between
  // connection attempts ends as soon as stop is set.
  std::condition_variable quitSignal;
  int logoutFd = -1;                         // copy of RemoteContext::logoutFd
  _GDBusConnection *connection = nullptr;    // session thread only
  std::atomic<bool> stop{false};
  std::atomic<bool> connected{false};        // set once, never cleared
};

struct RemoteContext {
  char cardName[8] = {};

  // Set once by RequestStop, never cleared; every loop of the agent tests it.
  StopToken agentStopping;

  UniqueFd controlFd;       // the control socket
  UniqueFd audioFd;         // the audio socket
  UniqueFd logoutFd;
  UniqueFd remoteWakerFd;
  UniqueFd captureWakerFd;
  UniqueFd screenFds;       // semaphore mode
  UniqueFd cursorFds;       // semaphore mode
  UniqueFd inputWakerFd;
  UniqueFd disconnectFd;

  // Each socket has two writers; one whole message at a time.
  std::mutex controlWriteLock;
  std::mutex audioWriteLock;

  bool watchGreeterSession = false;

  VThreadID captureEventThread = 0;
  VThreadID sessionThread = 0;
  VThreadID inputEventThread = 0;
  VThreadID screenCastThread = 0;

  void *pipeWireHandle = nullptr;

  SessionBusState sessionBus;
  ScreenCastContext *screenCast = nullptr;  // owned (CreateScreenCastContext)

  // Input device slots, kept by the input event thread.
  ei_device *ptr = nullptr;
  ei_device *kbd = nullptr;
  ei_device *abs = nullptr;
  ei_device *touch = nullptr;
  uint16_t lastButtons = 0;
  uint16_t lastButtonMask = 0;

  std::atomic<bool> logoutNotified{false};

  SoundBackend *audioBackend = nullptr;
  SoundStream *audioStream = nullptr;
  // The parent has audio on: captured blocks are forwarded. Set only once
  // the REMOTE_AUDIO_START echo is out; stays set while a lost stream is
  // being reconnected.
  std::atomic<bool> audioRunning{false};
  // Set by the stream's error event (its daemon went away, or it failed);
  // the main thread tears the stream down and reconnects it.
  std::atomic<bool> audioStreamLost{false};
  // Timer in the routine's loop, with two uses that never overlap: it paces
  // the attempts of a pending REMOTE_AUDIO_START (no stream exists then),
  // and the reconnection of a lost stream (audio on), fired at once by the
  // error event, then every 500 ms while attempts fail. -1 when unavailable.
  UniqueFd audioRetryFd;
  int audioReconnectAttempts = 0;  // main thread only
  // Attempts made so far by a REMOTE_AUDIO_START whose first attempt
  // failed; 0 when no start is pending. The echo is sent from
  // audioStartRequest once the start resolves. Main thread only.
  int audioStartAttempts = 0;
  ChannelMessage audioStartRequest{};
  // A command on the audio socket read so far; the routine never waits for
  // the rest of a record. Main thread only.
  ChannelMessage audioCommand{};
  size_t audioCommandBytes = 0;
};
