#include "bench/frame_path_floor.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "base/channel_message.h"

namespace swbench {

namespace {

uint64_t ThreadCpuNs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void SleepUntil(const timespec &when) {
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
  }
}

// A shared mapping of a memfd, like the blocks PipeWire hands the agent.
class SharedBlock {
 public:
  explicit SharedBlock(size_t bytes) : bytes_(bytes) {
    const int fd = memfd_create("floor-frame", MFD_CLOEXEC);
    if (fd < 0) {
      return;
    }
    if (ftruncate(fd, static_cast<off_t>(bytes)) == 0) {
      void *map = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      data_ = map == MAP_FAILED ? nullptr : static_cast<uint8_t *>(map);
    }
    close(fd);
    if (data_ != nullptr) {
      memset(data_, 0x5A, bytes);
    }
  }
  ~SharedBlock() {
    if (data_ != nullptr) {
      munmap(data_, bytes_);
    }
  }
  SharedBlock(const SharedBlock &) = delete;
  SharedBlock &operator=(const SharedBlock &) = delete;
  uint8_t *data() const { return data_; }

 private:
  size_t bytes_;
  uint8_t *data_ = nullptr;
};

bool WriteAll(int fd, iovec *parts, int count) {
  int first = 0;
  while (first < count) {
    const ssize_t n = writev(fd, parts + first, count - first);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    size_t done = static_cast<size_t>(n);
    while (first < count && done >= parts[first].iov_len) {
      done -= parts[first].iov_len;
      first++;
    }
    if (first < count) {
      parts[first].iov_base = static_cast<uint8_t *>(parts[first].iov_base) + done;
      parts[first].iov_len -= done;
    }
  }
  return true;
}

// Reads whole records and frames, as the reference parent does.
void Drain(int fd, size_t frameBytes) {
  std::vector<uint8_t> sink(sizeof(ChannelMessage) + frameBytes);
  for (;;) {
    const ssize_t n = recv(fd, sink.data(), sink.size(), MSG_WAITALL);
    if (n <= 0 && !(n < 0 && errno == EINTR)) {
      return;
    }
  }
}

}  // namespace

double FloorNsPerFrame(const FloorOptions &o) {
  const size_t bytes = size_t{o.width} * o.height * 4;
  if (bytes == 0 || o.frames <= 0 || o.repeats <= 0) {
    return 0;
  }
  SharedBlock source(bytes);
  if (source.data() == nullptr) {
    return 0;
  }
  std::vector<uint8_t> slot(bytes);
  std::vector<uint8_t> record(bytes);
  memset(slot.data(), 0, bytes);
  memset(record.data(), 0, bytes);

  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    return 0;
  }
  if (o.sendBuffer > 0) {
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &o.sendBuffer, sizeof o.sendBuffer);
  }
  std::thread drain(Drain, sv[1], bytes);

  ChannelMessage message{};
  message.type = REMOTE_SCREEN_BUFFER;
  message.screenWidth = o.width;
  message.screenHeight = o.height;
  message.screenBytes = static_cast<uint32_t>(bytes);
  const long intervalNs = o.fps > 0 ? 1000000000L / static_cast<long>(o.fps) : 0;
  std::vector<double> perRepeat;
  bool ok = true;
  for (int r = 0; r < o.repeats && ok; r++) {
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    uint64_t spent = 0;
    for (int i = 0; i < o.frames && ok; i++) {
      if (intervalNs > 0) {
        next.tv_nsec += intervalNs;
        while (next.tv_nsec >= 1000000000L) {
          next.tv_nsec -= 1000000000L;
          next.tv_sec++;
        }
        SleepUntil(next);
      }
      source.data()[(static_cast<size_t>(i) * 4096) % bytes] = static_cast<uint8_t>(i);
      const uint64_t begin = ThreadCpuNs();
      memcpy(slot.data(), source.data(), bytes);
      uint8_t *sent = slot.data();
      if (o.copies > 1) {
        memcpy(record.data(), slot.data(), bytes);
        sent = record.data();
      }
      iovec parts[2] = {{&message, sizeof message}, {sent, bytes}};
      ok = WriteAll(sv[0], parts, 2);
      spent += ThreadCpuNs() - begin;
    }
    perRepeat.push_back(static_cast<double>(spent) / o.frames);
  }
  shutdown(sv[0], SHUT_RDWR);
  drain.join();
  close(sv[0]);
  close(sv[1]);
  if (!ok) {
    return 0;
  }
  return *std::min_element(perRepeat.begin(), perRepeat.end());
}

}  // namespace swbench
