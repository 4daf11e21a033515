// Counts a compositor's live sessions from outside, as one does with GNOME
// Mutter: each live session is a child node of the sessions' parent object
// on the session bus ("/org/gnome/Mutter/ScreenCast/Session" and
// "/org/gnome/Mutter/RemoteDesktop/Session").
#pragma once

#include <string>

namespace swtest {

// The number of child nodes of parentPath at busName, over a connection of
// its own to busAddress; -1 when the bus or the object cannot be asked.
int CountCompositorSessions(const std::string &busAddress, const char *busName,
                            const char *parentPath);

}  // namespace swtest
