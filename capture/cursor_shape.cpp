#include "capture/cursor_shape.h"

#include "capture/frame_queue.h"
#include "lib/log/log.h"

namespace {

uint32_t Fnv1a(const uint8_t *bytes, uint32_t size) {
  uint32_t hash = 2166136261u;
  for (uint32_t i = 0; i < size; i++) {
    hash = (hash ^ bytes[i]) * 16777619u;
  }
  return hash;
}

}  // namespace

bool CursorShapeTracker::CursorShapeChanged(const CursorUpdate &update) {
  if (resetPending_.exchange(false, std::memory_order_acq_rel)) {
    lastHash_ = 0;
    lastHotspotX_ = -1;
    lastHotspotY_ = -1;
  }
  if (update.cursorBitmap == nullptr || update.cursorBitmapSize == 0) {
    return false;
  }
  const uint32_t hash = Fnv1a(update.cursorBitmap, update.cursorBitmapSize);
  // A shape is new when its pixels or its hotspot differ. The compositor
  // keeps one cursor id across shapes, and many shapes share a hotspot
  // (two resize arrows, arrow and copy-arrow): requiring both to differ
  // would leave the parent drawing the old pointer.
  if (hash == lastHash_ && update.hotspotX == lastHotspotX_ && update.hotspotY == lastHotspotY_) {
    return false;
  }
  Log_Level(kLogDebug,
            "Sightwell: CursorShapeChanged[%s]: CHANGED [HOTSPOT+HASH] hash 0x%08x\u2192"
            "0x%08x hotspot=(%d,%d)\u2192(%d,%d) bmpSize=%u w=%u h=%u\n",
            update.connector, lastHash_, hash, lastHotspotX_, lastHotspotY_, update.hotspotX,
            update.hotspotY, update.cursorBitmapSize, update.width, update.height);
  lastHash_ = hash;
  lastHotspotX_ = update.hotspotX;
  lastHotspotY_ = update.hotspotY;
  return true;
}
