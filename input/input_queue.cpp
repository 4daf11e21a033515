// InputQueue (see input_queue.h).
#include "input/input_queue.h"

#include <time.h>

uint64_t InputMonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

void InputQueue::PopFront() {
  if (size_ == 0) {
    return;
  }
  head_ = (head_ + 1) % kCapacity;
  size_--;
  if (size_ == 0) {
    tailMotionOnly_ = false;
  }
}

// A press, a pointer record with a later pointer record behind it, or a
// release that a later release of the same key repeats.
bool InputQueue::MayGiveUp(size_t i) const {
  const QueuedInput &entry = At(i);
  if (entry.kind == QueuedInput::kKey && entry.pressed) {
    return true;
  }
  for (size_t j = i + 1; j < size_; j++) {
    const QueuedInput &later = At(j);
    if (entry.kind == QueuedInput::kMouse ? later.kind == QueuedInput::kMouse
                                          : later.kind == QueuedInput::kKey && !later.pressed &&
                                                later.key == entry.key) {
      return true;
    }
  }
  return false;
}

void InputQueue::Erase(size_t i) {
  for (size_t j = i; j + 1 < size_; j++) {
    At(j) = At(j + 1);
  }
  size_--;
  // The tail may have changed; merging is only an optimisation.
  tailMotionOnly_ = false;
}

size_t InputQueue::Push(const QueuedInput &input, uint16_t lastButtons, bool mayMerge) {
  const bool motionOnlyShape = input.kind == QueuedInput::kMouse && input.wheel == 0 &&
                               input.hwheel == 0;
  if (mayMerge && size_ > 0 && motionOnlyShape && tailMotionOnly_) {
    QueuedInput &tail = At(size_ - 1);
    // The tail changed no buttons, so its buttons are what was sent before.
    if (input.buttons == tail.buttons) {
      tail.x = input.x;
      tail.y = input.y;
      tail.queuedNs = input.queuedNs;
      return 0;
    }
  }

  size_t givenUp = 0;
  if (size_ == kCapacity) {
    size_t i = 0;
    while (i < size_ && !MayGiveUp(i)) {
      i++;
    }
    // At most one release per key and one pointer record are kept for
    // good, far fewer than the capacity, so i < size_ always holds.
    Erase(i < size_ ? i : 0);
    givenUp = 1;
  }

  // The button state a pointer record is compared with when it is sent:
  // the pointer record before it in the ring, else what was sent last.
  uint32_t before = lastButtons;
  for (size_t j = size_; j > 0; j--) {
    if (At(j - 1).kind == QueuedInput::kMouse) {
      before = At(j - 1).buttons & 0xFFFF;
      break;
    }
  }
  At(size_) = input;
  size_++;
  tailMotionOnly_ = motionOnlyShape && input.buttons == before;
  return givenUp;
}

size_t InputQueue::ExpireOlderThan(uint64_t now) {
  size_t givenUp = 0;
  // Entries are in arrival order: the aged ones form a prefix.
  for (size_t i = 0; i < size_ && now > At(i).queuedNs && now - At(i).queuedNs > kMaxAgeNs;) {
    if (MayGiveUp(i)) {
      Erase(i);
      givenUp++;
    } else {
      i++;
    }
  }
  return givenUp;
}
