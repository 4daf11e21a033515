// Decides, on the sending side, whether a cursor update carries a new shape.
//
// One tracker belongs to each capture. Its owner is the capture event
// thread, the only caller of CursorShapeChanged. A reset may come from
// another thread (a format change on the PipeWire thread): it only raises
// resetPending_, which the owner applies before its next comparison, so the
// three tracked values always change together without a lock.
#pragma once

#include <atomic>
#include <cstdint>

struct CursorUpdate;

class CursorShapeTracker {
 public:
  // true when this update's bitmap must travel with it: its bitmap hash or
  // its hotspot differs from the last shape reported. Owner thread only.
  bool CursorShapeChanged(const CursorUpdate &update);
  // Forgets the last shape, so the next bitmap travels again. Any thread.
  void Reset() { resetPending_.store(true, std::memory_order_release); }

 private:
  uint32_t lastHash_ = 0;
  int32_t lastHotspotX_ = -1;
  int32_t lastHotspotY_ = -1;
  std::atomic<bool> resetPending_{false};
};
