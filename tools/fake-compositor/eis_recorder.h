// The fake compositor's record of everything its EIS server and RemoteDesktop
// service saw: one line per event, "<CLOCK_MONOTONIC ns> <what> [args]\n",
// flushed per line so that a reader sees each event as soon as it arrived.
//
// Lines written (args separated by single spaces):
//   rd-create PATH SENDER | rd-start PATH | rd-stop PATH
//   rd-connect-eis PATH FD | rd-connect-eis-refused PATH | rd-connect-eis-stalled PATH
//   eis-stall MS | eis-stall-over
//   client-connect NAME | client-disconnect NAME
//   seat-added SEAT | seat-bind SEAT CAPS (libeis capability mask)
//   device-added NAME | device-resumed NAME | device-paused NAME
//   device-removed NAME | device-closed NAME
//   start-emulating NAME SEQ | stop-emulating NAME
//   motion DX DY | abs X Y | button CODE PRESSED | scroll DX DY
//   scroll-discrete DX DY | scroll-stop X Y | scroll-cancel X Y
//   key CODE PRESSED | touch-down ID X Y | touch-motion ID X Y | touch-up ID
//   frame
// Coordinates and deltas are printed with "%g".
#pragma once

#include <cstdint>

// Opens (truncates) the file; a null or empty path records nothing.
bool EisRecorderOpen(const char *path);
void EisRecorderClose();
void EisRecord(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
uint64_t EisMonotonicNs();
