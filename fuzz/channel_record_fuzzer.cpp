// Fuzzes the agent's handling of what the parent sends: an arbitrary byte
// stream is cut into records by ReceiveChannelMessage, and every record's
// fields go through the same bounded copies, parsers and replies that the
// remote routine and the capture path use.

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "agent/channel.h"
#include "agent/session_files.h"
#include "lib/misc/unique_fd.h"
#include "capture/frame_queue.h"

namespace {

// Drains whatever the agent wrote back, so the reply socket never fills.
void Drain(int fd) {
  uint8_t buf[8192];
  while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
  }
}

void HandleRecord(const ChannelMessage &msg, int replyFd, int peerFd, std::mutex &lock,
                  std::vector<uint8_t> &scratch) {
  // The capture start's connector copy and echo.
  char connector[kConnectorNameSize];
  size_t n = strnlen(msg.connector, sizeof connector - 1);
  memcpy(connector, msg.connector, n);
  connector[n] = '\0';
  ChannelMessage reply = msg;
  reply.status = CHANNEL_STATUS_SUCCESS;
  SendChannelMessage(replyFd, lock, reply);

  // Texts that are not terminated on the wire.
  SendErrorMessage(replyFd, lock, msg.errorText, msg.errorCode);
  char line[kSessionLineSize];
  size_t len = strnlen(msg.errorText, sizeof line - 1);
  memcpy(line, msg.errorText, len);
  line[len] = '\0';
  uid_t uid;
  ParseSessionUid(line, &uid);

  // Frame and cursor records as the capture event thread would send them,
  // with sizes taken from the record but bounded by what exists.
  CaptureFrame frame{};
  memcpy(frame.connector, msg.screenConnector, sizeof frame.connector);  // maybe unterminated
  frame.width = msg.screenWidth;
  frame.height = msg.screenHeight;
  frame.captureBufferSize = msg.screenBytes % 4096;
  scratch.assign(frame.captureBufferSize, 0xab);
  frame.captureBuffer = (msg.keyDown & 1) ? nullptr : scratch.data();
  SendScreenBuffer(replyFd, lock, &frame);
  Drain(peerFd);

  CursorUpdate update{};
  memcpy(update.connector, msg.cursorConnector, sizeof update.connector);
  update.x = msg.cursorX;
  update.y = msg.cursorY;
  update.width = msg.cursorWidth;
  update.height = msg.cursorHeight;
  update.hotspotX = msg.cursorHotX;
  update.hotspotY = msg.cursorHotY;
  update.cursorId = msg.cursorId;
  update.cursorBitmapSize = msg.cursorBytes % 4096;
  scratch.assign(update.cursorBitmapSize, 0xcd);
  update.cursorBitmap = (msg.keyDown & 2) ? nullptr : scratch.data();
  SendCursorBuffer(replyFd, lock, &update, (msg.keyDown & 4) != 0);
  Drain(peerFd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The whole stream is written before it is read: keep it within what a
  // socket pair buffers.
  if (size > 64 * sizeof(ChannelMessage)) return 0;
  int in[2];
  int out[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) return 0;
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out) != 0) {
    close(in[0]);
    close(in[1]);
    return 0;
  }
  UniqueFd agentIn(in[0]), parentOut(in[1]), agentOut(out[0]), parentIn(out[1]);

  // The whole input is the parent's stream; a short tail is a truncated
  // record and must end the stream as a reset, never as a record.
  const uint8_t *p = data;
  size_t left = size;
  while (left > 0) {
    ssize_t n = send(parentOut.get(), p, left, MSG_NOSIGNAL);
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  parentOut.reset();

  std::mutex lock;
  std::vector<uint8_t> scratch;
  ChannelMessage msg;
  size_t records = 0;
  while (ReceiveChannelMessage(agentIn.get(), &msg) == static_cast<ssize_t>(sizeof msg)) {
    records++;
    HandleRecord(msg, agentOut.get(), parentIn.get(), lock, scratch);
    Drain(parentIn.get());
  }
  if (records != size / sizeof(ChannelMessage)) __builtin_trap();
  return 0;
}
