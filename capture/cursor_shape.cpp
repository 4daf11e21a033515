// Decides, on the sending side, whether a cursor update carries a new shape.
//
// The tracker is owned by the capture event thread, the only caller that
// passes an update. A reset may come from another thread (a format change on
// the PipeWire thread): it only raises resetPending, which the owner applies
// before its next comparison, so the three tracker values always change
// together without a lock.
#include <atomic>
#include <cstdint>

#include "capture/frame_queue.h"
#include "lib/log/log.h"

namespace {

struct CursorShapeTracker {
  uint32_t lastHash = 0;
  int32_t lastHotspotX = -1;
  int32_t lastHotspotY = -1;
};

CursorShapeTracker tracker;
std::atomic<bool> resetPending{false};

uint32_t Fnv1a(const uint8_t *bytes, uint32_t size) {
  uint32_t hash = 2166136261u;
  for (uint32_t i = 0; i < size; i++) {
    hash = (hash ^ bytes[i]) * 16777619u;
  }
  return hash;
}

}  // namespace

bool CursorShapeChanged(const CursorUpdate *update) {
  if (update == nullptr) {
    resetPending.store(true, std::memory_order_release);
    return false;
  }
  if (resetPending.exchange(false, std::memory_order_acq_rel)) {
    tracker = CursorShapeTracker{};
  }
  if (update->cursorBitmap == nullptr || update->cursorBitmapSize == 0) {
    return false;
  }
  const uint32_t hash = Fnv1a(update->cursorBitmap, update->cursorBitmapSize);
  // A shape is new when its pixels or its hotspot differ. The compositor
  // keeps one cursor id across shapes, and many shapes share a hotspot
  // (two resize arrows, arrow and copy-arrow): requiring both to differ
  // would leave the parent drawing the old pointer.
  if (hash == tracker.lastHash && update->hotspotX == tracker.lastHotspotX &&
      update->hotspotY == tracker.lastHotspotY) {
    return false;
  }
  Log_Level(kLogDebug,
            "Sightwell: CursorShapeChanged[%s]: CHANGED [HOTSPOT+HASH] hash 0x%08x\u2192"
            "0x%08x hotspot=(%d,%d)\u2192(%d,%d) bmpSize=%u w=%u h=%u\n",
            update->connector, tracker.lastHash, hash, tracker.lastHotspotX,
            tracker.lastHotspotY, update->hotspotX, update->hotspotY,
            update->cursorBitmapSize, update->width, update->height);
  tracker.lastHash = hash;
  tracker.lastHotspotX = update->hotspotX;
  tracker.lastHotspotY = update->hotspotY;
  return true;
}
