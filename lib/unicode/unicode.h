// The code-set service seen by the rest of the program: encoding numbers and
// names, the process's current encoding, validation and conversion between
// any supported encoding and UTF-8, and the start-up conversion of the
// argument vector. Every text inside the program is UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// An encoding number, 0 to 323 (see unicodeTable.cpp for the full table).
typedef int32_t StringEncoding;

enum : StringEncoding {
  STRING_ENCODING_UTF8 = 0,
  STRING_ENCODING_UTF16_LE = 1,
  STRING_ENCODING_UTF16_BE = 2,
  STRING_ENCODING_UTF16 = 3,
  STRING_ENCODING_UTF32_LE = 4,
  STRING_ENCODING_UTF32_BE = 5,
  STRING_ENCODING_UTF32 = 6,
  STRING_ENCODING_US_ASCII = 7,
  STRING_ENCODING_ISO_8859_1 = 8,
  STRING_ENCODING_ISO_8859_6 = 13,
  STRING_ENCODING_ISO_8859_15 = 20,
  STRING_ENCODING_WINDOWS_1252 = 35,
  // Given as an encoding: the process's current encoding.
  STRING_ENCODING_DEFAULT = -1,
  // Not a supported encoding (also: current encoding not yet determined).
  STRING_ENCODING_UNKNOWN = -2,
};

constexpr int32_t kStringEncodingCount = 324;

// Once per process, before anything else: prepares the conversion engines,
// checks the current encoding (stops the program when it is not supported)
// and replaces *argv (argc + 1 entries) and, when envp is not null, *envp by
// UTF-8 copies. Later calls do nothing.
void Unicode_Startup(int argc, char ***argv, char ***envp);
// Releases what Unicode_Startup made: the name cache and the copied vectors
// (argc < 0: walk argv to its null entry). Either vector may be null.
// Leaves errno unchanged.
void Unicode_Shutdown(int argc, char **argv, char **envp);

// Row of the encoding table for a name, or -1 (logged) when none matches.
int UnicodeIANALookup(const char *name);
// Encoding number for a name; -ENOENT when unknown or not supported.
StringEncoding Unicode_EncodingFromName(const char *name);
// Preferred name of an encoding number (-1: the current encoding). An
// unknown number stops the program.
const char *Unicode_EncodingEnumToName(StringEncoding encoding);
bool Unicode_NumberIsValid(int32_t number);
// The process's current encoding; STRING_ENCODING_UNKNOWN when its name has
// no supported row. Computed once.
StringEncoding Unicode_GetCurrentEncoding(void);
// -1 becomes the current encoding; anything else is returned unchanged.
StringEncoding Unicode_ResolveEncoding(StringEncoding encoding);

// True when length bytes of buffer (-1: NUL-terminated) are valid text in
// the encoding.
bool Unicode_IsBufferValid(const void *buffer, ssize_t length, StringEncoding encoding);

// Converts length bytes (-1: NUL-terminated) to a new NUL-terminated UTF-8
// text (release with free()). Lenient: invalid sequences are replaced; when
// even that fails the program stops. A null buffer gives null.
char *Unicode_AllocWithLength(const void *buffer, ssize_t length, StringEncoding encoding);
// Strict form: null when the input is not valid in the encoding.
char *Unicode_AllocStrict(const void *buffer, ssize_t length, StringEncoding encoding);

// Converts the UTF-8 text into the caller's buffer of size bytes in the
// given encoding, always terminated when size allows. Returns true when the
// whole text fitted; *written (may be null) gets the bytes written without
// the terminator.
bool Unicode_CopyBytes(const char *text, void *buffer, size_t size, size_t *written,
                       StringEncoding encoding);

// Strict conversion of a UTF-8 text into the encoding: a new buffer with
// four zero bytes appended (release with free()), its length without them
// in *length; null when the text cannot be represented.
char *Unicode_GetAllocBytes(const char *text, size_t textLength, StringEncoding encoding,
                            size_t *length);
