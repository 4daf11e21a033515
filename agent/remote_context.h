// RemoteContext: all state of the agent, owned by the remote routine for the
// life of the process and shared by reference with every thread it starts.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "agent/remote_audio.h"
#include "base/channel_message.h"
#include "base/stop_token.h"
#include "capture/screen_capture.h"
#include "input/input.h"
#include "lib/misc/unique_fd.h"
#include "lib/thread/vthread.h"

struct _GMainLoop;
struct _GDBusConnection;

// The session thread's state (logout detection on the session bus).
struct SessionBusState {
  // The loop is owned, run and released by the session thread and lent
  // here so the capture event thread can quit it at stop; the lock keeps a
  // quit from racing the release.
  std::mutex mainLoopLock;
  _GMainLoop *mainLoop = nullptr;
  // Signalled (under mainLoopLock) by every quit, so the pause between
  // connection attempts ends as soon as stop is set.
  std::condition_variable quitSignal;
  int logoutFd = -1;                         // copy of RemoteContext::logoutFd
  // Session thread only; its reference belongs to that thread's run.
  _GDBusConnection *connection = nullptr;
  std::atomic<bool> stop{false};
  std::atomic<bool> connected{false};        // set once, never cleared
};

struct RemoteContext {
  char cardName[8] = {};

  // Set once by RequestStop, never cleared; every loop of the agent tests it.
  StopToken agentStopping;

  UniqueFd controlFd;       // the control socket
  UniqueFd logoutFd;
  UniqueFd remoteWakerFd;
  UniqueFd captureWakerFd;
  // Semaphore mode; made with the other eventfds, then adopted by screenCast.
  UniqueFd screenFds;
  UniqueFd cursorFds;
  UniqueFd inputWakerFd;
  UniqueFd disconnectFd;

  // The control socket has two writers; one whole message at a time.
  std::mutex controlWriteLock;

  bool watchGreeterSession = false;

  VThreadID captureEventThread = 0;
  VThreadID sessionThread = 0;

  SessionBusState sessionBus;
  // The screen capture, with the PipeWire library it runs on; made once the
  // routine's loop is set up, released last.
  std::unique_ptr<ScreenCapture> screenCast;

  // Input injection: the device slots, the button state and the input
  // event thread (started and joined by the capture event thread). Its
  // thread borrows inputWakerFd, disconnectFd and captureWakerFd, declared
  // above so that they outlive it.
  InputInjector input{agentStopping};

  std::atomic<bool> logoutNotified{false};

  // Audio capture on the audio socket: the socket, the stream, its
  // recovery and `audioRunning`.
  AudioForwarder audio{agentStopping};
};
