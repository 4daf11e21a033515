// sightwell-parent check: plays the parent for a few seconds against a live
// graphical session and says, per capability, whether it works and if not,
// why (from the agent's own log).
#pragma once

#include <string>
#include <vector>

namespace swparent {

// The command's entry; argv[0] is "check". Returns the exit status: 0 when
// everything asked for works, 1 when something does not, 2 for bad usage.
int RunCheck(int argc, char **argv);

// The cause the agent's log gives for a failed capability ("screencast",
// "frames", "input", "audio", "logout", "agent", "stop"), with the log line
// that shows it; empty when no line explains it.
std::string CauseFromLog(const std::string &capability, const std::vector<std::string> &logLines);

}  // namespace swparent
