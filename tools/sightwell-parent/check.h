// sightwell-parent check: plays the parent for a few seconds against a live
// graphical session and says, per capability, whether it works and if not,
// why (from the agent's own log).
#pragma once

namespace swparent {

// The command's entry; argv[0] is "check". Returns the exit status: 0 when
// everything asked for works, 1 when something does not, 2 for bad usage.
int RunCheck(int argc, char **argv);

}  // namespace swparent
