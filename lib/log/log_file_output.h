// The log file output: chooses and opens the log file, writes its
// identification block, prefixes every line, rotates by size, throttles
// floods and counts the bytes it could not write.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/log/log_output.h"

struct Dictionary;

// Creates a file output (not yet registered), or null: appPrefix given but
// empty, outputName null or empty, or no file name can be settled.
LogOutput *Log_NewFileOutput(const char *appPrefix, const char *outputName,
                             Dictionary *params, const LogConfigProvider *provider);

// Decides whether a directory entry is an earlier process's log file; on
// true *pid is that process's id.
typedef bool (*LogFileMatcher)(const char *entryName, void *argument, unsigned *pid);

// Deletes the oldest log files of processes that are gone, keeping keep-old
// of them. Only for generated names. True when at least one was deleted.
bool Log_PurgeOldFiles(LogOutput *output, LogFileMatcher matcher, void *matcherArgument);

// The file name of a file output; null for any other kind.
const char *LogFileOutputFileName(const LogOutput *output);

// Copies the old file output's file into the new one's (appending or from
// its start) and deletes the old file.
void LogFileOutputCopyContent(LogOutput *oldOutput, LogOutput *newOutput);

// Rotates fileName keeping keepOld numbered old files: by renaming down a
// cascade (fileName-0 newest), or with fast set by giving the current file
// the next free number and removing the lowest numbers. True when the
// current file is out of the way (moved, or there was none); on a failure
// no file that could not be moved is overwritten.
bool File_Rotate(const char *fileName, int keepOld, bool fast);
