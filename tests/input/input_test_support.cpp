#include "tests/input/input_test_support.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "input/input_state.h"
#include "lib/log/log_output.h"

namespace inputtest {

namespace {

// A log output that hands every line to LogCapture.
struct CaptureOutput {
  LogOutput head{};
  static void Log(LogOutput *, LogMessageHeader *, size_t length, const char *text) {
    LogCapture::Get().Append(std::string(text, length));
  }
  static bool Open(LogOutput *) { return true; }
  static void Destroy(LogOutput *output) { delete reinterpret_cast<CaptureOutput *>(output); }
  static constexpr LogOutputOps kOps = {Log, Open, Destroy, nullptr};
};

swtest::TestServices *services = nullptr;
GDBusConnection *sharedBus = nullptr;

class InputEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    auto *out = new CaptureOutput();
    out->head.version = kLogOutputVersion;
    out->head.type = kLogOutputType23456;
    out->head.name = strdup("input-test");
    out->head.fileLevel = kLogInfo;
    out->head.stderrLevel = -1;
    out->head.ops = &CaptureOutput::kOps;
    ASSERT_TRUE(Log_AddOutput(&out->head));
    services = new swtest::TestServices();
    ASSERT_TRUE(services->ok()) << services->error();
    services->ApplyToProcess();
    // The process-wide session bus connection (the one Init uses) must not
    // end the test program when the services stop at the end.
    sharedBus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    ASSERT_NE(sharedBus, nullptr);
    g_dbus_connection_set_exit_on_close(sharedBus, FALSE);
  }
  void TearDown() override {
    delete services;
    services = nullptr;
  }
};

const ::testing::Environment *const environment =
    ::testing::AddGlobalTestEnvironment(new InputEnvironment());

}  // namespace

const std::vector<std::string> kInputKinds = {"abs", "button", "scroll", "key", "frame", "motion"};

const swtest::TestServices &Services() { return *services; }

LogCapture &LogCapture::Get() {
  static LogCapture capture;
  return capture;
}

void LogCapture::Append(const std::string &line) {
  std::lock_guard<std::mutex> g(lock_);
  lines_.push_back(line);
}

size_t LogCapture::Mark() {
  std::lock_guard<std::mutex> g(lock_);
  return lines_.size();
}

std::vector<std::string> LogCapture::LinesSince(size_t mark) {
  std::lock_guard<std::mutex> g(lock_);
  if (mark >= lines_.size()) {
    return {};
  }
  return std::vector<std::string>(lines_.begin() + static_cast<long>(mark), lines_.end());
}

size_t LogCapture::Count(const std::string &needle, size_t mark) {
  size_t n = 0;
  for (const std::string &line : LinesSince(mark)) {
    n += line.find(needle) != std::string::npos ? 1 : 0;
  }
  return n;
}

bool LogCapture::WaitFor(const std::string &needle, int timeoutMs, size_t mark) {
  return swtest::WaitFor([&] { return Count(needle, mark) > 0; }, timeoutMs);
}

FakeCompositor::FakeCompositor(const swtest::TestServices &services,
                               std::vector<std::string> options) {
  dir_ = swtest::MakeTempDir("sw-input");
  eventsPath_ = dir_ + "/events";
  std::vector<std::string> argv = {swtest::FakeCompositorBinary(), "--eis-events=" + eventsPath_};
  argv.insert(argv.end(), options.begin(), options.end());
  swtest::Process::Options popts;
  popts.env = services.env();
  popts.stdoutPath = dir_ + "/stdout";
  popts.stderrPath = dir_ + "/stderr";
  process_ = swtest::Process::Spawn(argv, popts);
  if (!process_) {
    return;
  }
  if (!swtest::WaitFor([this] { return process_->Stdout().find("ready") != std::string::npos; },
                       10000)) {
    ADD_FAILURE() << "fake compositor not ready: " << process_->Stderr();
    return;
  }
  control_ = std::make_unique<swtest::FakeControl>(services);
  ok_ = control_->ok();
}

FakeCompositor::~FakeCompositor() {
  Kill();
}

void FakeCompositor::Kill() {
  if (process_ && process_->Running()) {
    process_->Signal(SIGTERM);
    if (!process_->Wait(5000)) {
      process_->Signal(SIGKILL);
      process_->Wait(5000);
    }
  }
}

std::vector<RecordedEvent> FakeCompositor::Events() {
  std::vector<RecordedEvent> events;
  std::istringstream in(swtest::ReadFile(eventsPath_));
  std::string line;
  while (std::getline(in, line)) {
    if (in.eof()) {
      break;  // a line still being written
    }
    size_t space = line.find(' ');
    if (space == std::string::npos) {
      continue;
    }
    events.push_back({std::stoull(line.substr(0, space)), line.substr(space + 1)});
  }
  return events;
}

std::vector<std::string> FakeCompositor::Texts(size_t from, const std::vector<std::string> &kinds) {
  std::vector<std::string> texts;
  std::vector<RecordedEvent> events = Events();
  for (size_t i = from; i < events.size(); i++) {
    std::string kind = events[i].text.substr(0, events[i].text.find(' '));
    bool wanted = kinds.empty();
    for (const std::string &k : kinds) {
      wanted |= k == kind;
    }
    if (wanted) {
      texts.push_back(events[i].text);
    }
  }
  return texts;
}

bool FakeCompositor::WaitForEvent(const std::string &text, int timeoutMs, size_t from) {
  return swtest::WaitFor(
      [&] {
        for (const std::string &t : Texts(from)) {
          if (t == text) {
            return true;
          }
        }
        return false;
      },
      timeoutMs);
}

bool FakeCompositor::Control(const char *method, GVariant *args, GVariant **reply) {
  std::string error = "the fake compositor did not start";
  if (!control_ || !control_->Call(swtest::FakeService::kInput, method, args, &error, reply)) {
    ADD_FAILURE() << method << ": " << error;
    return false;
  }
  return true;
}

bool Pump(InputInjector &injector, const std::function<bool()> &done, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    pollfd p{injector.GetEisFd(), POLLIN, 0};
    poll(&p, 1, 20);
    injector.HandleEvents();
  }
  return true;
}

bool ConnectAndWaitForDevices(FakeCompositor &compositor, InputInjector &injector) {
  // HandleEvents runs Init itself while no context is usable.
  injector.HandleEvents();
  if (injector.GetEisFd() < 0) {
    return false;
  }
  auto emulating = [&compositor] {
    int n = 0;
    for (const std::string &t : compositor.Texts(0, {"start-emulating"})) {
      n += t.rfind("start-emulating fake keyboard", 0) == 0 ||
           t.rfind("start-emulating fake absolute pointer", 0) == 0;
    }
    return n >= 2;
  };
  InputState &state = injector.state();
  return Pump(injector, [&] { return state.kbd && state.abs && emulating(); }, 5000);
}

void DrainDisconnect(InputInjector &injector) {
  Pump(injector, [&injector] { return injector.GetEisFd() < 0; }, 3000);
}

}  // namespace inputtest
