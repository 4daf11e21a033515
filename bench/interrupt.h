// Interrupting a benchmark: SIGINT or SIGTERM sets a flag that the run's
// waits look at, so the benchmark still stops the processes it started
// (default handling would end it at once and leave them running).
#pragma once

namespace swbench {

// Makes SIGINT and SIGTERM set the flag, and ignores SIGPIPE (a process the
// benchmark talks to may end first).
void CatchInterrupts();

// True once SIGINT or SIGTERM arrived.
bool Interrupted();

// Sleeps in short steps so that an interrupt ends the pause promptly.
void Pause(int ms);

}  // namespace swbench
