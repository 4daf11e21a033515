#include "tools/sightwell-parent/parent.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>

#include "tools/sightwell-parent/frame_stamp.h"

namespace swparent {

namespace {

// Largest payloads a well-formed agent sends: an 8K frame, a 512x512 cursor
// bitmap, a second of audio. Anything larger means the framing is lost.
constexpr uint64_t kMaxFrameBytes = 7680ull * 4320 * 4;
constexpr uint64_t kMaxCursorBytes = 512ull * 512 * 4;
constexpr uint64_t kMaxAudioBytes = 48000ull * 4;
constexpr size_t kKeptCursorBitmaps = 64;

std::string Format(const char *format, const std::string &card) {
  char path[256];
  snprintf(path, sizeof path, format, card.c_str());
  return path;
}

bool MakeDirs(const std::string &path) {
  std::string partial;
  for (size_t i = 1; i <= path.size(); i++) {
    if (i == path.size() || path[i] == '/') {
      partial = path.substr(0, i);
      if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
        return false;
      }
    }
  }
  return true;
}

bool AllZero(const uint8_t *p, size_t n) {
  for (size_t i = 0; i < n; i++) {
    if (p[i] != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

uint64_t MonotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

ChannelMessage MakeRecord(uint32_t type) {
  ChannelMessage record;
  memset(&record, 0, sizeof record);
  record.type = type;
  return record;
}

Parent::Parent(std::string cardName) : card_(std::move(cardName)), startNs_(MonotonicNs()) {}

Parent::~Parent() {
  stopping_.store(true);
  if (wakeFd_ >= 0) {
    uint64_t one = 1;
    (void)!write(wakeFd_, &one, sizeof one);
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (int fd : allFds_) {
      shutdown(fd, SHUT_RDWR);
    }
  }
  if (acceptThread_.joinable()) {
    acceptThread_.join();
  }
  for (auto &t : readers_) {
    if (t.joinable()) {
      t.join();
    }
  }
  for (int fd : allFds_) {
    close(fd);
  }
  if (listenFd_ >= 0) {
    close(listenFd_);
    unlink(SocketPath().c_str());
  }
  if (wakeFd_ >= 0) {
    close(wakeFd_);
  }
  RemoveSessionFiles();
}

std::string Parent::SocketPath() const { return Format(SIGHTWELL_SOCKET_FORMAT, card_); }

std::string Parent::SessionFilePath(const char *format) const { return Format(format, card_); }

bool Parent::Listen() {
  if (!MakeDirs(SIGHTWELL_ENV_DIR)) {
    return false;
  }
  std::string path = SocketPath();
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    return false;
  }
  unlink(path.c_str());
  listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (listenFd_ < 0 || wakeFd_ < 0) {
    return false;
  }
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      listen(listenFd_, 8) != 0) {
    return false;
  }
  chmod(path.c_str(), 0777);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

bool Parent::WriteSessionFileRaw(const char *format, const std::string &contents) {
  if (!MakeDirs(SIGHTWELL_ENV_DIR)) {
    return false;
  }
  std::ofstream out(SessionFilePath(format), std::ios::binary | std::ios::trunc);
  out << contents;
  return static_cast<bool>(out);
}

bool Parent::WriteSessionFiles(const std::string &dbusAddress, const std::string &xdgRuntime,
                               uid_t uid) {
  return WriteSessionFileRaw(SIGHTWELL_DBUS_ADDRESS_FORMAT, dbusAddress + "\n") &&
         WriteSessionFileRaw(SIGHTWELL_XDG_RUNTIME_FORMAT, xdgRuntime + "\n") &&
         WriteSessionFileRaw(SIGHTWELL_UID_FORMAT, std::to_string(uid) + "\n");
}

void Parent::RemoveSessionFiles() {
  unlink(SessionFilePath(SIGHTWELL_DBUS_ADDRESS_FORMAT).c_str());
  unlink(SessionFilePath(SIGHTWELL_XDG_RUNTIME_FORMAT).c_str());
  unlink(SessionFilePath(SIGHTWELL_UID_FORMAT).c_str());
}

void Parent::AcceptLoop() {
  while (!stopping_.load()) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (fds[1].revents != 0 || stopping_.load()) {
      return;
    }
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      continue;
    }
    std::lock_guard<std::mutex> guard(lock_);
    allFds_.push_back(fd);
    // The first record tells the control connection from the audio one.
    readers_.emplace_back([this, fd] {
      ChannelMessage first;
      if (!ReadFull(fd, &first, sizeof first)) {
        return;
      }
      // The socket is published before the greeting, so a caller woken by
      // the greeting can send at once.
      if (first.type == REMOTE_INFO_GREETER || first.type == REMOTE_INFO_USER) {
        controlFd_.store(fd);
        {
          std::lock_guard<std::mutex> g(lock_);
          greeting_ = first.type;
        }
        changed_.notify_all();
        ControlLoop(fd);
      } else if (first.type == REMOTE_AUDIO_HANDSHAKE) {
        audioFd_.store(fd);
        {
          std::lock_guard<std::mutex> g(lock_);
          audioHandshake_ = true;
        }
        changed_.notify_all();
        if (!audioToCaller_.load()) {
          AudioLoop(fd);
        }
      } else {
        Malformed("first record of a connection has type " + std::to_string(first.type));
      }
    });
  }
}

bool Parent::ReadFull(int fd, void *buf, size_t len) {
  auto *p = static_cast<uint8_t *>(buf);
  while (len > 0) {
    ssize_t n = recv(fd, p, len, 0);
    if (n > 0) {
      p += n;
      len -= static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

void Parent::WaitWhilePaused(const std::atomic<bool> &paused) {
  while (paused.load() && !stopping_.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void Parent::Malformed(const std::string &what) {
  std::lock_guard<std::mutex> guard(lock_);
  if (summary_.malformed++ == 0) {
    summary_.firstMalformed = what;
  }
  changed_.notify_all();
}

void Parent::CountTimeline(uint64_t ns, int which) {
  // Caller holds lock_.
  uint32_t second = ns > startNs_ ? static_cast<uint32_t>((ns - startNs_) / 1000000000ull) : 0;
  TimelineBucket &bucket = summary_.timeline[second];
  if (which == 0) {
    bucket.frames++;
  } else if (which == 1) {
    bucket.audioBlocks++;
  } else {
    bucket.inputEvents++;
  }
}

void Parent::NoteInputEventSent() {
  std::lock_guard<std::mutex> guard(lock_);
  summary_.inputEventsSent++;
  CountTimeline(MonotonicNs(), 2);
}

// Reads the pixels that follow a frame record. False when the stream
// cannot go on (end of stream or lost framing).
bool Parent::ReceiveScreenBuffer(int fd, const ChannelMessage &record, Frame &frame) {
  uint64_t expected = static_cast<uint64_t>(record.screenWidth) * record.screenHeight * 4;
  // An older agent sends a lone record with the new size and no pixels for
  // each frame that waited across a format change. Nothing follows it, so
  // the stream is still framed: count it apart and read on.
  if (record.screenBytes == 0 && expected != 0) {
    std::lock_guard<std::mutex> guard(lock_);
    summary_.emptyFrames++;
    return true;
  }
  if (record.screenBytes != expected || expected > kMaxFrameBytes ||
      memchr(record.screenConnector, 0, sizeof record.screenConnector) == nullptr) {
    Malformed("screen buffer " + std::to_string(record.screenWidth) + "x" +
              std::to_string(record.screenHeight) + " with " +
              std::to_string(record.screenBytes) + " bytes");
    return false;  // the framing is lost
  }
  frame.connector = record.screenConnector;
  frame.width = record.screenWidth;
  frame.height = record.screenHeight;
  frame.pixels.resize(record.screenBytes);
  if (record.screenBytes > 0 && !ReadFull(fd, frame.pixels.data(), record.screenBytes)) {
    return false;
  }
  frame.receivedNs = MonotonicNs();
  // A frame of height 0 has a row width but no pixels: never read past them.
  auto stamp = swstamp::Read(frame.pixels.data(),
                             std::min(static_cast<size_t>(frame.width) * 4, frame.pixels.size()));
  if (onFrame_) {
    onFrame_(frame);
  }
  std::lock_guard<std::mutex> guard(lock_);
  Summary &s = summary_;
  double sec = static_cast<double>(frame.receivedNs - startNs_) / 1e9;
  if (s.frames == 0) {
    s.firstFrameSec = sec;
  }
  s.lastFrameSec = sec;
  s.frames++;
  s.frameBytes += record.screenBytes;
  CountTimeline(frame.receivedNs, 0);
  if (stamp) {
    s.stampedFrames++;
    if (stamp->monotonicNs <= frame.receivedNs) {
      s.frameLatencyMs.push_back(static_cast<double>(frame.receivedNs - stamp->monotonicNs) / 1e6);
    }
    if (lastStampCounter_ >= 0) {
      if (stamp->counter <= lastStampCounter_) {
        s.frameOrderErrors++;
      } else {
        s.frameCounterGaps += stamp->counter - lastStampCounter_ - 1;
      }
    }
    lastStampCounter_ = stamp->counter;
  }
  // Keep the newest frame without copying it: the reader reuses the
  // older buffer next time.
  if (!lastFrame_) {
    lastFrame_.emplace();
  }
  std::swap(*lastFrame_, frame);
  return true;
}

// Reads the bitmap that may follow a cursor record. False when the stream
// cannot go on.
bool Parent::ReceiveCursorBuffer(int fd, const ChannelMessage &record) {
  uint64_t expected = static_cast<uint64_t>(record.cursorWidth) * record.cursorHeight * 4;
  if ((record.cursorBytes != 0 && record.cursorBytes != expected) ||
      record.cursorBytes > kMaxCursorBytes) {
    Malformed("cursor buffer " + std::to_string(record.cursorWidth) + "x" +
              std::to_string(record.cursorHeight) + " with " +
              std::to_string(record.cursorBytes) + " bytes");
    return false;
  }
  CursorRecord cursor;
  cursor.record = record;
  cursor.bitmap.resize(record.cursorBytes);
  if (record.cursorBytes > 0 && !ReadFull(fd, cursor.bitmap.data(), record.cursorBytes)) {
    return false;
  }
  cursor.receivedNs = MonotonicNs();
  if (onCursor_) {
    onCursor_(cursor);
  }
  std::lock_guard<std::mutex> guard(lock_);
  summary_.cursorUpdates++;
  if (!cursor.bitmap.empty()) {
    summary_.cursorBitmaps++;
    lastCursorBitmap_ = cursor;
  }
  if (cursorRecords_.size() >= kKeptCursorBitmaps) {
    cursor.bitmap.clear();
    cursor.bitmap.shrink_to_fit();
  }
  cursorRecords_.push_back(std::move(cursor));
  return true;
}

void Parent::ControlLoop(int fd) {
  Frame frame;
  for (;;) {
    WaitWhilePaused(pauseControl_);
    ChannelMessage record;
    if (!ReadFull(fd, &record, sizeof record)) {
      break;
    }
    if (record.type == REMOTE_SCREEN_BUFFER) {
      if (!ReceiveScreenBuffer(fd, record, frame)) {
        break;
      }
      continue;
    }
    if (record.type == REMOTE_CURSOR_BUFFER) {
      if (!ReceiveCursorBuffer(fd, record)) {
        break;
      }
      continue;
    }
    if (record.type == REMOTE_CAPTURE_START || record.type == REMOTE_LOGOUT ||
        record.type == REMOTE_ERROR) {
      std::lock_guard<std::mutex> guard(lock_);
      if (record.type == REMOTE_LOGOUT) {
        summary_.logouts++;
      } else if (record.type == REMOTE_ERROR) {
        summary_.errors++;
      }
      controlRecords_.push_back(record);
      changed_.notify_all();
      continue;
    }
    Malformed("unexpected record type " + std::to_string(record.type) + " on the control socket");
    break;
  }
  controlEof_.store(true);
  changed_.notify_all();
}

void Parent::AudioLoop(int fd) {
  AudioBlock block;
  for (;;) {
    WaitWhilePaused(pauseAudio_);
    uint32_t type;
    if (!ReadFull(fd, &type, sizeof type)) {
      break;
    }
    if (type == REMOTE_AUDIO_DATA) {
      AudioDataHeader &h = block.header;
      h.type = type;
      if (!ReadFull(fd, reinterpret_cast<uint8_t *>(&h) + 4, sizeof h - 4)) {
        break;
      }
      if (h.sampleRate != 48000 || h.bitsPerSample != 16 || h.containerBits != 16 ||
          h.channels != 2 || h.dataBytes > kMaxAudioBytes || h.dataBytes % 4 != 0 ||
          !AllZero(h.unused20, sizeof h.unused20) || !AllZero(h.unused36, sizeof h.unused36)) {
        Malformed("audio header rate " + std::to_string(h.sampleRate) + " bits " +
                  std::to_string(h.bitsPerSample) + "/" + std::to_string(h.containerBits) +
                  " channels " + std::to_string(h.channels) + " bytes " +
                  std::to_string(h.dataBytes));
        break;
      }
      block.samples.resize(h.dataBytes);
      if (h.dataBytes > 0 && !ReadFull(fd, block.samples.data(), h.dataBytes)) {
        break;
      }
      block.receivedNs = MonotonicNs();
      if (onAudio_) {
        onAudio_(block);
      }
      std::lock_guard<std::mutex> guard(lock_);
      summary_.audioBlocks++;
      summary_.audioBytes += h.dataBytes;
      CountTimeline(block.receivedNs, 1);
      if (lastAudioNs_ != 0) {
        uint64_t expectNs = lastAudioBytes_ * 1000000000ull / (48000 * 4);
        if (block.receivedNs - lastAudioNs_ > expectNs + 50000000ull) {
          summary_.audioGaps++;
        }
      }
      lastAudioNs_ = block.receivedNs;
      lastAudioBytes_ = h.dataBytes;
      continue;
    }
    ChannelMessage record;
    record.type = type;
    if (!ReadFull(fd, reinterpret_cast<uint8_t *>(&record) + 4, sizeof record - 4)) {
      break;
    }
    if (type != REMOTE_AUDIO_START) {
      Malformed("unexpected record type " + std::to_string(type) + " on the audio socket");
      break;
    }
    std::lock_guard<std::mutex> guard(lock_);
    audioRecords_.push_back(record);
    changed_.notify_all();
  }
  {
    // Under the lock, so EndAudio cannot miss the wake-up.
    std::lock_guard<std::mutex> guard(lock_);
    audioEof_.store(true);
  }
  changed_.notify_all();
}

uint32_t Parent::WaitForControl(int timeoutMs) {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return greeting_ != 0; });
  return greeting_;
}

bool Parent::WaitForAudio(int timeoutMs) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                           [&] { return audioHandshake_; });
}

void Parent::EndAudio(int timeoutMs) {
  auto ended = [&] {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [&] { return !audioHandshake_ || audioEof_.load(); });
  };
  if (!ended()) {
    CloseAudio();
    ended();
  }
}

bool Parent::SendOn(std::atomic<int> &fdSlot, std::mutex &sendLock, const ChannelMessage &record) {
  std::lock_guard<std::mutex> guard(sendLock);
  int fd = fdSlot.load();
  if (fd < 0) {
    return false;
  }
  const auto *p = reinterpret_cast<const uint8_t *>(&record);
  size_t left = sizeof record;
  while (left > 0) {
    ssize_t n = send(fd, p, left, MSG_NOSIGNAL);
    if (n > 0) {
      p += n;
      left -= static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

bool Parent::Send(const ChannelMessage &record) { return SendOn(controlFd_, controlSendLock_, record); }

bool Parent::SendAudioSocket(const ChannelMessage &record) {
  return SendOn(audioFd_, audioSendLock_, record);
}

bool Parent::SendCaptureStart(const std::string &connector) {
  ChannelMessage record = MakeRecord(REMOTE_CAPTURE_START);
  snprintf(record.connector, sizeof record.connector, "%s", connector.c_str());
  return Send(record);
}

bool Parent::SendStop() { return Send(MakeRecord(REMOTE_STOP)); }

bool Parent::SendMouse(int32_t x, int32_t y, uint32_t buttons, int8_t wheel, int8_t hwheel) {
  ChannelMessage record = MakeRecord(REMOTE_MOUSE_EVENT);
  record.mouse.x = x;
  record.mouse.y = y;
  record.mouse.buttons = buttons;
  record.mouse.wheel = wheel;
  record.mouse.hwheel = hwheel;
  bool ok = Send(record);
  if (ok) {
    NoteInputEventSent();
  }
  return ok;
}

bool Parent::SendKey(uint16_t vscancode, bool pressed) {
  ChannelMessage record = MakeRecord(REMOTE_KEY_EVENT);
  record.scancode = vscancode;
  record.keyDown = pressed ? 1 : 0;
  bool ok = Send(record);
  if (ok) {
    NoteInputEventSent();
  }
  return ok;
}

bool Parent::SendAudioStart() { return SendAudioSocket(MakeRecord(REMOTE_AUDIO_START)); }

bool Parent::SendAudioStop() { return SendAudioSocket(MakeRecord(REMOTE_AUDIO_STOP)); }

std::optional<ChannelMessage> Parent::WaitRecord(std::deque<ChannelMessage> &queue, uint32_t type,
                                                 int timeoutMs) {
  std::unique_lock<std::mutex> guard(lock_);
  std::optional<ChannelMessage> found;
  changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
    for (auto it = queue.begin(); it != queue.end(); ++it) {
      if (it->type == type) {
        found = *it;
        queue.erase(it);
        return true;
      }
    }
    return false;
  });
  return found;
}

std::optional<ChannelMessage> Parent::WaitControlRecord(uint32_t type, int timeoutMs) {
  return WaitRecord(controlRecords_, type, timeoutMs);
}

std::optional<ChannelMessage> Parent::WaitAudioRecord(uint32_t type, int timeoutMs) {
  return WaitRecord(audioRecords_, type, timeoutMs);
}

size_t Parent::CountControlRecords(uint32_t type) {
  std::lock_guard<std::mutex> guard(lock_);
  size_t n = 0;
  for (const auto &r : controlRecords_) {
    n += r.type == type ? 1 : 0;
  }
  return n;
}

void Parent::CloseControl() {
  int fd = controlFd_.exchange(-1);
  if (fd >= 0) {
    shutdown(fd, SHUT_RDWR);
  }
}

void Parent::CloseAudio() {
  int fd = audioFd_.exchange(-1);
  if (fd >= 0) {
    shutdown(fd, SHUT_RDWR);
  }
}

Summary Parent::GetSummary() {
  std::lock_guard<std::mutex> guard(lock_);
  return summary_;
}

std::optional<Frame> Parent::LastFrame() {
  std::lock_guard<std::mutex> guard(lock_);
  return lastFrame_;
}

std::optional<CursorRecord> Parent::LastCursorWithBitmap() {
  std::lock_guard<std::mutex> guard(lock_);
  return lastCursorBitmap_;
}

std::vector<CursorRecord> Parent::CursorRecords() {
  std::lock_guard<std::mutex> guard(lock_);
  return cursorRecords_;
}

}  // namespace swparent
