// The floor of the frame path: what any agent built this way must spend on
// one frame. The pixels are copied from a shared-memory block (as PipeWire
// maps it) into a queue slot, from the slot into the sender's own record,
// and written with one gather write, record and pixels, to a stream socket
// that another thread drains as the parent does. Only the sending thread's
// CPU time is counted. With one copy, the slot is written to the socket
// directly: the least that any agent copying frames out of PipeWire's
// buffers can spend.
#pragma once

#include <cstdint>

namespace swbench {

struct FloorOptions {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t fps = 0;      // frames are paced at this rate; 0 = back to back
  int frames = 20;       // per repeat
  // The cheapest repeat is reported: a floor is what the work costs at
  // least, and the machine's other load only ever adds to it.
  int repeats = 5;
  int sendBuffer = 0;    // SO_SNDBUF of the sending socket; 0 = the default
  int copies = 2;        // 2: source -> slot -> record; 1: source -> slot
};

// CPU nanoseconds per frame; 0 when the floor could not be measured.
double FloorNsPerFrame(const FloorOptions &options);

}  // namespace swbench
