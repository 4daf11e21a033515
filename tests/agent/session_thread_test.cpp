// The session thread without a reachable bus, and the closed-signal
// handler's decision between a logout and a local close.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "agent/remote_context.h"
#include "agent/session_thread.h"
#include "lib/misc/unique_fd.h"

namespace {

uint64_t ReadCounter(int fd) {
  uint64_t value = 0;
  return read(fd, &value, sizeof value) == sizeof value ? value : 0;
}

TEST(SessionThread, OnlyAVanishedPeerIsReportedAsALogout) {
  UniqueFd logoutFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  SessionBusState state;
  state.logoutFd = logoutFd.get();
  GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
  state.mainLoop = loop;

  OnSessionBusClosed(nullptr, FALSE, nullptr, &state);
  EXPECT_EQ(ReadCounter(logoutFd.get()), 0u);

  OnSessionBusClosed(nullptr, TRUE, nullptr, &state);
  EXPECT_EQ(ReadCounter(logoutFd.get()), 1u);

  // Without a descriptor the loop is still quit and nothing breaks.
  state.logoutFd = -1;
  OnSessionBusClosed(nullptr, TRUE, nullptr, &state);
  state.mainLoop = nullptr;
  g_main_loop_unref(loop);
}

TEST(SessionThread, RetriesAnUnreachableBusAndEndsSoonAfterStop) {
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/sightwell-unit-bus", 1);
  SessionBusState state;
  std::thread thread(SessionThread, &state);
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));  // past one retry pause
  EXPECT_FALSE(state.connected.load());

  auto stopAt = std::chrono::steady_clock::now();
  state.stop.store(true);
  SessionThreadQuit(&state);
  thread.join();
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::milliseconds(300));
  EXPECT_EQ(state.mainLoop, nullptr);
  EXPECT_EQ(state.connection, nullptr);

  SessionThread(nullptr);  // no state: nothing to do
}

}  // namespace
