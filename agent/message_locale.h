// The message locale of the support library's user messages: the language
// is taken from LC_MESSAGES, and its catalogue is looked for.
#pragma once

#include <stdlib.h>

#include "base/c_owner.h"

// Chooses the language, logs "LOCALE <locale> -> <language>", sets it as
// the message service's locale and checks the catalogue of that language;
// one that cannot be loaded is only logged. English needs no catalogue.
// Returns a copy of the language.
COwner<char, free> SetMessageLocale(const char *catalogueName);

// The language chosen for a locale name ("de_DE.UTF-8" -> "de"; "C",
// "POSIX" and empty names -> "en"; Chinese keeps its region).
// Writes at most size - 1 characters.
void MessageLanguageForLocale(const char *locale, char *language, unsigned size);
