// The reference parent: plays the parent's side of the agent's channel.
//
// It listens on the parent socket for one card name, writes the session
// files beside it, accepts the agent's control and audio connections (told
// apart by their first record), sends commands, and reads and validates
// every record the agent sends on background threads. Tests, the demo and
// the benchmarks drive the agent through it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/channel_message.h"
#include "tools/sightwell-parent/stats.h"

namespace swparent {

struct Frame {
  std::string connector;
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;   // width * 4 bytes per row, packed
  uint64_t receivedNs = 0;       // CLOCK_MONOTONIC when the last byte arrived
};

struct CursorRecord {
  ChannelMessage record{};       // as received (type 10)
  std::vector<uint8_t> bitmap;   // empty when the record carried none
  uint64_t receivedNs = 0;
};

struct AudioBlock {
  AudioDataHeader header{};
  std::vector<uint8_t> samples;
  uint64_t receivedNs = 0;
};

// Returns CLOCK_MONOTONIC in nanoseconds.
uint64_t MonotonicNs();

// Builds a record of the given type, all other bytes zero.
ChannelMessage MakeRecord(uint32_t type);

class Parent {
 public:
  explicit Parent(std::string cardName);
  ~Parent();  // closes everything, removes the socket and session files
  Parent(const Parent &) = delete;
  Parent &operator=(const Parent &) = delete;

  const std::string &card() const { return card_; }
  std::string SocketPath() const;
  std::string SessionFilePath(const char *format) const;

  // Creates the socket directory and listens; starts accepting connections.
  bool Listen();
  // Writes the three session files (first line each).
  bool WriteSessionFiles(const std::string &dbusAddress, const std::string &xdgRuntime,
                         uid_t uid);
  // Writes one session file with raw contents (tests of bad files).
  bool WriteSessionFileRaw(const char *format, const std::string &contents);
  void RemoveSessionFiles();

  // Waits for the agent's control connection and its greeting; the
  // greeting's type (1 greeter, 2 user) is returned, 0 on time-out.
  uint32_t WaitForControl(int timeoutMs);
  // Waits for an audio connection with its handshake.
  bool WaitForAudio(int timeoutMs);
  bool HasControl() const { return controlFd_.load() >= 0; }
  bool HasAudio() const { return audioFd_.load() >= 0; }

  // Commands. Each sends one whole record; false when the socket is gone.
  bool Send(const ChannelMessage &record);
  bool SendAudioSocket(const ChannelMessage &record);
  bool SendCaptureStart(const std::string &connector);
  bool SendStop();
  bool SendMouse(int32_t x, int32_t y, uint32_t buttons, int8_t wheel, int8_t hwheel);
  bool SendKey(uint16_t vscancode, bool pressed);
  bool SendAudioStart();
  bool SendAudioStop();

  // The next control record of the given type (REMOTE_CAPTURE_START echo,
  // REMOTE_ERROR, REMOTE_LOGOUT), removed from the queue. Frames and cursor
  // updates are not queued here.
  std::optional<ChannelMessage> WaitControlRecord(uint32_t type, int timeoutMs);
  // The next record on the audio socket that is not audio data (replies).
  std::optional<ChannelMessage> WaitAudioRecord(uint32_t type, int timeoutMs);
  // Records of a type received so far (still queued), without removing.
  size_t CountControlRecords(uint32_t type);

  // Called on the reader threads for every frame, cursor update and audio
  // block, after validation. Set before the agent connects.
  void OnFrame(std::function<void(const Frame &)> fn) { onFrame_ = std::move(fn); }
  void OnCursor(std::function<void(const CursorRecord &)> fn) { onCursor_ = std::move(fn); }
  void OnAudio(std::function<void(const AudioBlock &)> fn) { onAudio_ = std::move(fn); }

  // Stops reading a socket for a while (a slow parent); data stays queued in
  // the kernel.
  void PauseControlReading(bool paused) { pauseControl_.store(paused); }
  void PauseAudioReading(bool paused) { pauseAudio_.store(paused); }

  // Set before the agent connects: the audio connection is accepted and its
  // handshake read, but nothing else reads it; the caller reads and writes
  // AudioSocket() itself (tests of the exact order of bytes on it).
  void LeaveAudioToCaller() { audioToCaller_.store(true); }
  int AudioSocket() const { return audioFd_.load(); }

  // Closes a connection from the parent's side (a dying parent).
  void CloseControl();
  void CloseAudio();
  // True once the agent closed the connection (end of stream seen).
  bool ControlClosedByAgent() const { return controlEof_.load(); }
  bool AudioClosedByAgent() const { return audioEof_.load(); }
  // Once the agent has gone: waits until the audio reader has seen the end
  // of the stream (closing it from this side after timeoutMs), so no
  // OnAudio callback runs any more. At once when there was no audio
  // connection.
  void EndAudio(int timeoutMs);

  // Copies of what was received.
  Summary GetSummary();
  std::optional<Frame> LastFrame();
  std::optional<CursorRecord> LastCursorWithBitmap();
  std::vector<CursorRecord> CursorRecords();  // bitmaps dropped after the first 64
  uint64_t StartNs() const { return startNs_; }
  void NoteInputEventSent();

 private:
  void AcceptLoop();
  void ControlLoop(int fd);
  bool ReceiveScreenBuffer(int fd, const ChannelMessage &record, Frame &frame);
  bool ReceiveCursorBuffer(int fd, const ChannelMessage &record);
  void AudioLoop(int fd);
  bool ReadFull(int fd, void *buf, size_t len);
  void WaitWhilePaused(const std::atomic<bool> &paused);
  void Malformed(const std::string &what);
  void CountTimeline(uint64_t ns, int which);
  bool SendOn(std::atomic<int> &fd, std::mutex &lock, const ChannelMessage &record);
  std::optional<ChannelMessage> WaitRecord(std::deque<ChannelMessage> &queue, uint32_t type,
                                           int timeoutMs);

  std::string card_;
  uint64_t startNs_;
  int listenFd_ = -1;
  int wakeFd_ = -1;  // eventfd that ends the accept loop
  std::atomic<int> controlFd_{-1};
  std::atomic<int> audioFd_{-1};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> pauseControl_{false};
  std::atomic<bool> pauseAudio_{false};
  std::atomic<bool> audioToCaller_{false};
  std::atomic<bool> controlEof_{false};
  std::atomic<bool> audioEof_{false};
  std::mutex controlSendLock_;
  std::mutex audioSendLock_;

  std::mutex lock_;  // everything below
  std::condition_variable changed_;
  uint32_t greeting_ = 0;
  bool audioHandshake_ = false;
  std::deque<ChannelMessage> controlRecords_;
  std::deque<ChannelMessage> audioRecords_;
  Summary summary_;
  std::optional<Frame> lastFrame_;
  std::optional<CursorRecord> lastCursorBitmap_;
  std::vector<CursorRecord> cursorRecords_;
  int64_t lastStampCounter_ = -1;
  uint64_t lastAudioNs_ = 0;
  uint64_t lastAudioBytes_ = 0;

  std::function<void(const Frame &)> onFrame_;
  std::function<void(const CursorRecord &)> onCursor_;
  std::function<void(const AudioBlock &)> onAudio_;

  std::thread acceptThread_;
  std::vector<std::thread> readers_;
  std::vector<int> allFds_;  // every accepted descriptor, closed at the end
};

}  // namespace swparent
