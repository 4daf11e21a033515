// Message locale selection.

#include "agent/message_locale.h"

#include <errno.h>
#include <locale.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "lib/log/log.h"
#include "lib/user/msg.h"

namespace {

// Where the translated catalogues live: <dir>/<language>/<name>.vmsg.
constexpr const char kCatalogueDir[] = "/usr/lib/velmora/messages";

}  // namespace

void MessageLanguageForLocale(const char *locale, char *language, unsigned size) {
  if (size == 0) return;
  if (locale == nullptr || *locale == '\0' || strcmp(locale, "C") == 0 ||
      strcmp(locale, "POSIX") == 0 || strncmp(locale, "C.", 2) == 0) {
    snprintf(language, size, "en");
    return;
  }
  // Language letters, then the region for Chinese, whose two written forms
  // differ by region.
  size_t lang = 0;
  while (isalpha(static_cast<unsigned char>(locale[lang]))) lang++;
  size_t keep = lang;
  if (lang == 2 && strncmp(locale, "zh", 2) == 0 && locale[2] == '_') {
    keep = 3;
    while (isalpha(static_cast<unsigned char>(locale[keep]))) keep++;
  }
  if (lang == 0) {
    snprintf(language, size, "en");
    return;
  }
  unsigned n = 0;
  for (; n < keep && n + 1 < size; n++) {
    char c = locale[n];
    language[n] = n < lang ? static_cast<char>(tolower(static_cast<unsigned char>(c))) : c;
  }
  language[n] = '\0';
}

COwner<char, free> SetMessageLocale(const char *catalogueName) {
  const char *locale = setlocale(LC_MESSAGES, "");
  if (locale == nullptr) locale = setlocale(LC_MESSAGES, nullptr);
  char language[16];
  MessageLanguageForLocale(locale, language, sizeof language);
  Log_Info("LOCALE %s -> %s\n", locale ? locale : "(null)", language);
  Msg_SetLocale(language, catalogueName);
  COwner<char, free> chosen(Msg_GetLocale());
  if (strcmp(language, "en") == 0) {
    return chosen;  // the built-in texts are English
  }
  char path[256];
  snprintf(path, sizeof path, "%s/%s/%s.vmsg", kCatalogueDir, language, catalogueName);
  if (access(path, R_OK) != 0) {
    Log_Info("Cannot load message catalogue \"%s\": %s\n", path, strerror(errno));
  }
  return chosen;
}
