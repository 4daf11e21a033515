// Engine-neutral code-set conversion underneath the Unicode layer: ICU's
// converters when ICU's data file is installed, the system's iconv
// otherwise; the process's current code-set name; UTF-8 and UTF-16
// helpers.
#pragma once

#include <cstddef>
#include <cstdint>

// Conversion modes.
enum : unsigned int {
  CSGTG_NORMAL = 0,    // any invalid or unmappable sequence fails
  CSGTG_TRANSLIT = 1,  // replace (transliterate where the engine can)
  CSGTG_ESCAPE = 2,    // replace (by an escape sequence where the engine can)
};

// Default directory of ICU's data file "icudt44l.dat".
#define CODESET_ICU_DIR "/etc/velmora/icu"

// Selects the engine: ICU when "icudt44l.dat" exists (and is not a
// directory) in icuDataDir (null: the default directory) and the ICU
// library can be loaded; iconv otherwise. Returns true.
bool CodeSet_Init(const char *icuDataDir);
// True when conversions use iconv.
bool CodeSet_UsesIconv(void);
// True when the current engine can convert between the named encoding and
// UTF-8.
bool CodeSet_IsNameKnown(const char *name);

// The name of the process's current encoding: G_FILENAME_ENCODING (up to
// its first comma; "@locale" means the locale's code set), else the locale's
// code set when G_BROKEN_FILENAMES is set, else "UTF-8". Computed once.
const char *CodeSet_GetCurrentCodeSet(void);
// The code set of the environment's LC_CTYPE locale (nl_langinfo CODESET),
// newly allocated.
char *CodeSet_GetLocaleCodeSet(void);

// Converts sizeIn bytes from codeIn to codeOut. On success *bufOut is a new
// buffer (release with free()) holding *sizeOut bytes followed by four zero
// bytes. Returns false on failure (outputs untouched). In the replacing
// modes an invalid or unmappable sequence is replaced and the conversion
// goes on.
bool CodeSet_GenericToGeneric(const char *codeIn, const char *bufIn, size_t sizeIn,
                              const char *codeOut, unsigned int mode, char **bufOut,
                              size_t *sizeOut);

// Strict validity of a buffer in an encoding (by conversion to UTF-8).
bool CodeSet_Validate(const char *buf, size_t size, const char *code);
// Well-formed UTF-8 (no overlongs, surrogates or code points above 0x10FFFF).
bool CodeSet_IsValidUTF8(const char *buf, size_t size);
// Length of the longest prefix of buf (at most size bytes) that does not end
// inside a UTF-8 sequence.
size_t CodeSet_Utf8CutPoint(const char *buf, size_t size);

// UTF-16LE <-> UTF-8 by the built-in coder. Strict: unpaired surrogates and
// odd lengths fail. Outputs as for CodeSet_GenericToGeneric.
bool CodeSet_Utf16leToUtf8(const char *bufIn, size_t sizeIn, char **bufOut, size_t *sizeOut);
bool CodeSet_Utf8ToUtf16le(const char *bufIn, size_t sizeIn, char **bufOut, size_t *sizeOut);
