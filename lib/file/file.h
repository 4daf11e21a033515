// File utilities: the per-user private temporary directory.
#pragma once

// Returns the effective user's private temporary directory, creating it when
// needed: "<base>/velmora-<user>" where base is the "tmpDirectory"
// preference, else $TMPDIR, else "/tmp". The directory must be a real
// directory owned by the effective user that nobody else can write; when the
// usual name is taken by something else, numbered alternatives
// ("velmora-<user>-1", ... "-16") are tried, and when others hold them all,
// a new directory with a random suffix. Returns a new text (free() it) or
// nullptr with errno set.
char *File_GetSafeTmpDir(bool usePreference);

// The same below an explicit base directory (no preference lookup).
char *File_GetSafeTmpDirIn(const char *baseDir);
