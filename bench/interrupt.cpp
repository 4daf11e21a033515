#include "bench/interrupt.h"

#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace swbench {

namespace {

std::atomic<bool> gInterrupted{false};

void OnSignal(int) { gInterrupted.store(true); }

}  // namespace

void CatchInterrupts() {
  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool Interrupted() { return gInterrupted.load(); }

void Pause(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!gInterrupted.load() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace swbench
