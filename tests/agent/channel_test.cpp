// The agent's channel primitives over real socket pairs: what lands on the
// wire for frames, cursor updates and errors, how short, long and broken
// streams are read, and that concurrent writers never interleave.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "agent/channel.h"
#include "lib/misc/unique_fd.h"
#include "capture/cursor_shape.h"
#include "capture/frame_queue.h"

namespace {

struct SocketPair {
  UniqueFd agent;
  UniqueFd parent;
  SocketPair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    agent.reset(fds[0]);
    parent.reset(fds[1]);
  }
};

bool ReadExactly(int fd, void *buf, size_t len) {
  auto *p = static_cast<uint8_t *>(buf);
  while (len > 0) {
    ssize_t n = read(fd, p, len);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

ChannelMessage ReadRecord(int fd) {
  ChannelMessage msg;
  EXPECT_TRUE(ReadExactly(fd, &msg, sizeof msg));
  return msg;
}

// Bytes still waiting on fd, without blocking.
size_t Pending(int fd) {
  std::vector<uint8_t> buf(1 << 16);
  ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

CaptureFrame MakeFrame(const char *connector, uint32_t w, uint32_t h, std::vector<uint8_t> &pixels) {
  CaptureFrame frame{};
  snprintf(frame.connector, sizeof frame.connector, "%s", connector);
  frame.width = w;
  frame.height = h;
  pixels.resize(static_cast<size_t>(w) * h * 4);
  for (size_t i = 0; i < pixels.size(); i++) pixels[i] = static_cast<uint8_t>(i * 7 + 3);
  frame.captureBufferSize = static_cast<uint32_t>(pixels.size());
  frame.capacity = frame.captureBufferSize;
  frame.captureBuffer = pixels.empty() ? nullptr : pixels.data();
  return frame;
}

TEST(ChannelSend, ScreenFrameIsOneRecordFollowedByPackedPixels) {
  SocketPair s;
  std::mutex lock;
  std::vector<uint8_t> pixels;
  CaptureFrame frame = MakeFrame("Meta-0", 5, 3, pixels);
  ASSERT_EQ(SendScreenBuffer(s.agent.get(), lock, &frame), 0);

  ChannelMessage msg = ReadRecord(s.parent.get());
  EXPECT_EQ(msg.type, REMOTE_SCREEN_BUFFER);
  EXPECT_STREQ(msg.screenConnector, "Meta-0");
  EXPECT_EQ(msg.screenWidth, 5u);
  EXPECT_EQ(msg.screenHeight, 3u);
  EXPECT_EQ(msg.screenBytes, 60u);
  // Fields of other types stay zero.
  EXPECT_EQ(msg.connector[0], 0);
  EXPECT_EQ(msg.cursorBytes, 0u);
  EXPECT_EQ(msg.status, 0u);
  std::vector<uint8_t> got(60);
  ASSERT_TRUE(ReadExactly(s.parent.get(), got.data(), got.size()));
  EXPECT_EQ(got, pixels);
  EXPECT_EQ(Pending(s.parent.get()), 0u);
}

TEST(ChannelSend, EmptyFrameIsALoneRecordAndMissingPixelsAreRefused) {
  SocketPair s;
  std::mutex lock;
  std::vector<uint8_t> none;
  CaptureFrame frame = MakeFrame("HDMI-1", 0, 0, none);
  ASSERT_EQ(SendScreenBuffer(s.agent.get(), lock, &frame), 0);
  ChannelMessage msg = ReadRecord(s.parent.get());
  EXPECT_EQ(msg.type, REMOTE_SCREEN_BUFFER);
  EXPECT_EQ(msg.screenBytes, 0u);
  EXPECT_EQ(Pending(s.parent.get()), 0u);

  frame.captureBufferSize = 16;  // claims bytes it does not have
  EXPECT_EQ(SendScreenBuffer(s.agent.get(), lock, &frame), -1);
  EXPECT_EQ(Pending(s.parent.get()), 0u);

  CursorUpdate update{};
  update.cursorBitmapSize = 16;
  EXPECT_EQ(SendCursorBuffer(s.agent.get(), lock, &update, true), -1);
  EXPECT_EQ(Pending(s.parent.get()), 0u);
}

TEST(ChannelSend, LongConnectorNamesAreCutTo31Characters) {
  SocketPair s;
  std::mutex lock;
  std::vector<uint8_t> none;
  CaptureFrame frame = MakeFrame("", 0, 0, none);
  // A name that fills the field with no terminator at all.
  memset(frame.connector, 'A', sizeof frame.connector);
  ASSERT_EQ(SendScreenBuffer(s.agent.get(), lock, &frame), 0);
  ChannelMessage msg = ReadRecord(s.parent.get());
  EXPECT_EQ(std::string(msg.screenConnector), std::string(31, 'A'));

  CursorUpdate update{};
  memset(update.connector, 'B', sizeof update.connector);
  update.cursorId = 1;
  ASSERT_EQ(SendCursorBuffer(s.agent.get(), lock, &update, false), 0);
  msg = ReadRecord(s.parent.get());
  EXPECT_EQ(std::string(msg.cursorConnector), std::string(31, 'B'));
}

TEST(ChannelSend, CursorBitmapTravelsOnlyWhenTheShapeChanges) {
  SocketPair s;
  std::mutex lock;
  CursorShapeTracker shapes;

  std::vector<uint8_t> bitmap(2 * 2 * 4, 0x5a);
  CursorUpdate update{};
  snprintf(update.connector, sizeof update.connector, "Meta-0");
  update.x = -4;
  update.y = 700;
  update.width = 2;
  update.height = 2;
  update.hotspotX = 1;
  update.hotspotY = 0;
  update.cursorId = 42;
  update.cursorBitmap = bitmap.data();
  update.cursorBitmapSize = static_cast<uint32_t>(bitmap.size());
  update.capacity = update.cursorBitmapSize;

  ASSERT_EQ(SendCursorBuffer(s.agent.get(), lock, &update, shapes.CursorShapeChanged(update)), 0);
  ChannelMessage first = ReadRecord(s.parent.get());
  EXPECT_EQ(first.type, REMOTE_CURSOR_BUFFER);
  EXPECT_STREQ(first.cursorConnector, "Meta-0");
  EXPECT_EQ(first.cursorX, -4);
  EXPECT_EQ(first.cursorY, 700);
  EXPECT_EQ(first.cursorWidth, 2u);
  EXPECT_EQ(first.cursorHeight, 2u);
  EXPECT_EQ(first.cursorHotX, 1);
  EXPECT_EQ(first.cursorHotY, 0);
  EXPECT_EQ(first.cursorId, 42u);
  ASSERT_EQ(first.cursorBytes, bitmap.size());
  std::vector<uint8_t> got(bitmap.size());
  ASSERT_TRUE(ReadExactly(s.parent.get(), got.data(), got.size()));
  EXPECT_EQ(got, bitmap);

  update.x = 10;
  ASSERT_EQ(SendCursorBuffer(s.agent.get(), lock, &update, shapes.CursorShapeChanged(update)), 0);
  ChannelMessage second = ReadRecord(s.parent.get());
  EXPECT_EQ(second.cursorX, 10);
  EXPECT_EQ(second.cursorBytes, 0u);
  EXPECT_EQ(second.cursorWidth, 2u);  // the shape's size still travels
  EXPECT_EQ(Pending(s.parent.get()), 0u);
}

TEST(ChannelSend, ErrorAndLogoutRecords) {
  SocketPair s;
  std::mutex lock;
  std::string longText(400, 'x');
  SendErrorMessage(s.agent.get(), lock, longText.c_str(), 4);
  ChannelMessage msg = ReadRecord(s.parent.get());
  EXPECT_EQ(msg.type, REMOTE_ERROR);
  EXPECT_EQ(msg.errorCode, 4);
  EXPECT_EQ(std::string(msg.errorText), std::string(255, 'x'));

  ASSERT_EQ(SendLogoutMessage(s.agent.get(), lock), 0);
  msg = ReadRecord(s.parent.get());
  EXPECT_EQ(msg.type, REMOTE_LOGOUT);
  EXPECT_EQ(msg.logout, 1);
  EXPECT_EQ(msg.errorCode, 0);
}

TEST(ChannelSend, ClosedPeerFailsWithEpipeInsteadOfKillingTheProcess) {
  // SIGPIPE keeps its default action in the agent; the sends must not
  // raise it.
  struct sigaction old;
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old);

  SocketPair s;
  std::mutex lock;
  s.parent.reset();
  std::vector<uint8_t> pixels;
  CaptureFrame frame = MakeFrame("Meta-0", 64, 64, pixels);
  errno = 0;
  EXPECT_EQ(SendScreenBuffer(s.agent.get(), lock, &frame), -1);
  ChannelMessage msg{};
  errno = 0;
  EXPECT_EQ(SendChannelMessage(s.agent.get(), lock, msg), -1);
  EXPECT_EQ(errno, EPIPE);
  SendErrorMessage(s.agent.get(), lock, "still alive", -1);  // logged only

  sigaction(SIGPIPE, &old, nullptr);
}

TEST(ChannelReceive, WholeSplitShortAndLongStreams) {
  SocketPair s;
  ChannelMessage sent{};
  sent.type = REMOTE_KEY_EVENT;
  sent.scancode = 0x1c;
  sent.keyDown = 1;

  // Written in two pieces with a pause: still one record.
  std::thread writer([&] {
    auto *bytes = reinterpret_cast<const uint8_t *>(&sent);
    ASSERT_EQ(write(s.parent.get(), bytes, 100), 100);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(write(s.parent.get(), bytes + 100, sizeof sent - 100),
              static_cast<ssize_t>(sizeof sent - 100));
    // Then 1.5 records, then the end of the stream.
    ASSERT_EQ(write(s.parent.get(), &sent, sizeof sent), static_cast<ssize_t>(sizeof sent));
    ASSERT_EQ(write(s.parent.get(), &sent, 500), 500);
    s.parent.reset();
  });
  ChannelMessage got;
  EXPECT_EQ(ReceiveChannelMessage(s.agent.get(), &got), static_cast<ssize_t>(sizeof got));
  EXPECT_EQ(memcmp(&got, &sent, sizeof got), 0);
  EXPECT_EQ(ReceiveChannelMessage(s.agent.get(), &got), static_cast<ssize_t>(sizeof got));
  EXPECT_EQ(got.scancode, 0x1c);
  errno = 0;
  EXPECT_EQ(ReceiveChannelMessage(s.agent.get(), &got), -1);
  EXPECT_EQ(errno, ECONNRESET);
  writer.join();

  // A read error other than EINTR is returned as is.
  errno = 0;
  EXPECT_EQ(ReceiveChannelMessage(-1, &got), -1);
  EXPECT_EQ(errno, EBADF);
}

// Two writers, like the main thread and the capture event thread: every
// message must arrive whole, so the reader never loses the framing.
TEST(ChannelSend, ConcurrentWritersNeverInterleaveMessages) {
  SocketPair s;
  std::mutex lock;
  constexpr int kFrames = 40;
  constexpr int kRecords = 200;
  std::vector<uint8_t> pixels;
  CaptureFrame frame = MakeFrame("Meta-0", 320, 200, pixels);  // 256000 bytes each

  std::atomic<bool> readerOk{true};
  int framesSeen = 0;
  int errorsSeen = 0;
  std::thread reader([&] {
    std::vector<uint8_t> payload;
    for (int i = 0; i < kFrames + kRecords; i++) {
      ChannelMessage msg;
      if (!ReadExactly(s.parent.get(), &msg, sizeof msg)) {
        readerOk = false;
        return;
      }
      if (msg.type == REMOTE_SCREEN_BUFFER && msg.screenBytes == pixels.size()) {
        payload.resize(msg.screenBytes);
        if (!ReadExactly(s.parent.get(), payload.data(), payload.size()) || payload != pixels) {
          readerOk = false;
          return;
        }
        framesSeen++;
      } else if (msg.type == REMOTE_ERROR && msg.errorCode == 7) {
        errorsSeen++;
      } else {
        readerOk = false;
        return;
      }
    }
  });
  std::thread frames([&] {
    for (int i = 0; i < kFrames; i++) EXPECT_EQ(SendScreenBuffer(s.agent.get(), lock, &frame), 0);
  });
  for (int i = 0; i < kRecords; i++) SendErrorMessage(s.agent.get(), lock, "parallel", 7);
  frames.join();
  reader.join();
  EXPECT_TRUE(readerOk.load());
  EXPECT_EQ(framesSeen, kFrames);
  EXPECT_EQ(errorsSeen, kRecords);
}

TEST(ChannelConnect, RetriesUntilTheListenerAppearsAndGivesUpAfterTheLastAttempt) {
  char dir[] = "/tmp/swchanXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/p.sock";

  // Nobody listens: ten attempts, 100 ms apart, then ENOENT.
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  auto start = std::chrono::steady_clock::now();
  errno = 0;
  EXPECT_EQ(ConnectUnixSocket(fd.get(), path.c_str(), kConnectAttempts, kConnectRetryMs), -1);
  EXPECT_EQ(errno, ENOENT);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(900));
  EXPECT_LT(elapsed, std::chrono::milliseconds(3000));

  // The listener appears after about 250 ms: a later attempt connects.
  UniqueFd listener;
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    int l = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(l, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(l, 4), 0);
    listener.reset(l);
  });
  UniqueFd fd2(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(ConnectUnixSocket(fd2.get(), path.c_str(), kConnectAttempts, kConnectRetryMs), 0);
  late.join();

  // A single attempt does not wait.
  unlink(path.c_str());
  UniqueFd fd3(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(ConnectUnixSocket(fd3.get(), path.c_str(), 1, kConnectRetryMs), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  rmdir(dir);
}

TEST(ChannelConnect, SocketPathFollowsTheCardName) {
  char path[kSocketPathSize];
  size_t n = FormatSocketPath("ab12", path);
  EXPECT_STREQ(path, "/var/velmora/relayagent/waylandenv/wayland-ab12.sock");
  EXPECT_EQ(n, strlen(path));
}

}  // namespace
