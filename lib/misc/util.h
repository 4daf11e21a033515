// Small text utilities shared by the preference store and the log file.
#pragma once

// Expands a file name the way a shell user would expect:
//  - a leading "~" (alone or before "/") becomes the current user's home
//    directory, "~name" becomes the home directory of user "name";
//  - "$NAME" (a letter or "_", then letters, digits, "_") becomes the value
//    of the environment variable NAME; when it is not set, "$PID" becomes
//    the process id and "$USER" the user name, and any other name becomes
//    empty text (with a warning in the log);
//  - "~name" for an unknown user is left as written.
// Returns a new text the caller frees with free(), or nullptr when the
// input is nullptr.
char *Util_ExpandString(const char *fileName);
