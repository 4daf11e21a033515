// Internals shared by the files of the Unicode layer.
#pragma once

#include <cstddef>

#include "lib/unicode/unicode.h"
#include "lib/unicode/unicodeTable.h"

// Row of the first table entry carrying an encoding number; -1 when none.
int UnicodeRowOfEncoding(StringEncoding encoding);
// Drops every cached name lookup (the release at exit).
void UnicodeDestroyNameCache(void);
// A name of the encoding's row that the current conversion engine can open
// (the preferred name when it can); null when the number has no row.
const char *UnicodeEngineName(StringEncoding encoding);
// Letters and digits of a name, lower-cased, into out (of outSize bytes).
// False when the reduced name does not fit.
bool UnicodeLooseName(const char *name, char *out, size_t outSize);
