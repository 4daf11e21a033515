// A plain pause of the calling thread, for the few waits that have no
// descriptor to wait on (a listener that is not there yet, a flag set by
// another thread).
#pragma once

// Sleeps ms milliseconds in all: a signal that interrupts the sleep does not
// shorten it.
void SleepMs(unsigned ms);
