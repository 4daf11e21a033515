// Writing a dictionary back: unmodified lines byte for byte, changed and new
// entries as fresh lines, and the file replaced in place and synced.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/dict/dict_internal.h"
#include "lib/user/msg.h"

namespace {

constexpr int kUtf8 = 0;
constexpr mode_t kNewFileMode = 0754;

// Bytes that would break the line syntax or are invisible are written as
// "|XX": control bytes except TAB, the double quote, "|" itself and DEL.
void AppendEscaped(std::string *out, std::string_view value) {
  static const char kHex[] = "0123456789ABCDEF";
  for (char c : value) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u < 32 && u != '\t') || u == '"' || u == '|' || u == 127) {
      *out += '|';
      *out += kHex[u >> 4];
      *out += kHex[u & 0xF];
    } else {
      *out += c;
    }
  }
}

// A fresh line: name = "escaped value". False (with a message) when a text
// value cannot be represented in the encoding.
bool AppendFreshLine(std::string *out, const DictEntry &e, int encoding, MsgList **msgs) {
  std::string value = DictRenderValue(e);
  if ((e.type == DICT_ANY || e.type == DICT_STRING) && encoding != kUtf8) {
    std::string encoded;
    if (!DictEncode(value, encoding, &encoded)) {
      DictMessage(msgs, "@&!*@*@(msg.dictionary.badEncodedOutput)Value \"%s\" for variable \"%s\" "
                        "cannot be represented in encoding \"%s\".\n",
                  value.c_str(), e.name.Get(), DictEncodingName(encoding));
      return false;
    }
    value.swap(encoded);
  }
  out->append(e.name.View());
  out->append(" = \"");
  AppendEscaped(out, value);
  out->append("\"\n");
  return true;
}

bool Render(Dictionary *dict, std::string *out, MsgList **msgs) {
  out->clear();
  bool ok = true;
  size_t i = 0;
  // Leading comments stay on top, above the encoding line.
  for (; i < dict->lines.size(); i++) {
    const DictLine &line = *dict->lines[i];
    if (line.entry != nullptr || line.entryRemoved || line.text.View().substr(0, 1) != "#") {
      break;
    }
    out->append(line.text.View());
    *out += '\n';
  }
  out->append(".encoding = \"");
  AppendEscaped(out, DictEncodingName(dict->encoding));
  out->append("\"\n");

  for (DictEntry &e : dict->entries) {
    e.written = 0;
  }
  for (; i < dict->lines.size(); i++) {
    const DictLine &line = *dict->lines[i];
    if (line.entryRemoved) {
      continue;
    }
    DictEntry *e = line.entry;
    if (e == nullptr || (!e->modified && !e->isDefault)) {
      out->append(line.text.View());
      *out += '\n';
    } else if (!e->isDefault) {
      ok = AppendFreshLine(out, *e, dict->encoding, msgs) && ok;
    }
    if (e != nullptr) {
      e->written = 1;
    }
  }
  for (DictEntry &e : dict->entries) {
    if (!e.written && !e.isDefault) {
      ok = AppendFreshLine(out, e, dict->encoding, msgs) && ok;
      e.written = 1;
    }
  }
  return ok;
}

// After switching to UTF-8 the kept lines (written as they were read) must
// be UTF-8 too, or the written file would not read back.
void ConvertLinesToUtf8(Dictionary *dict, int oldEncoding) {
  for (auto &line : dict->lines) {
    std::string utf8;
    if (DictDecode(line->text.View(), oldEncoding, &utf8)) {
      line->text.Assign(utf8);
    }
  }
}

}  // namespace

bool Dictionary_WriteToBuffer(Dictionary *dict, char **buffer, size_t *length) noexcept {
  if (dict == nullptr || buffer == nullptr) {
    return false;
  }
  if (dict->encoding == kDictNoEncoding) {
    int current = DictCurrentEncoding();
    dict->encoding = current >= 0 ? current : kUtf8;
  }
  std::string out;
  MsgList *msgs = nullptr;
  while (!Render(dict, &out, &msgs) && dict->encoding != kUtf8) {
    for (const MsgList *m = msgs; m != nullptr; m = m->next) {
      size_t n = strlen(m->text);
      DictLog(kLogInfo, "[%s] %s%s", m->id, m->text, n > 0 && m->text[n - 1] == '\n' ? "" : "\n");
    }
    MsgList_Free(msgs);
    msgs = nullptr;
    DictLog(kLogInfo, "%s: upgrading encoding from %s to %s\n", "Dictionary_WriteToBuffer",
            DictEncodingName(dict->encoding), DictEncodingName(kUtf8));
    int oldEncoding = dict->encoding;
    dict->encoding = kUtf8;
    ConvertLinesToUtf8(dict, oldEncoding);
  }
  MsgList_Free(msgs);

  char *result = static_cast<char *>(malloc(out.size() + 1));
  if (result == nullptr) {
    explicit_bzero(out.data(), out.size());
    return false;
  }
  memcpy(result, out.data(), out.size());
  result[out.size()] = '\0';
  if (length != nullptr) {
    *length = out.size();
  }
  *buffer = result;
  explicit_bzero(out.data(), out.size());
  return true;
}

bool Dictionary_WriteFile(Dictionary *dict, const char *path, MsgList **messages) noexcept {
  if (dict == nullptr || path == nullptr) {
    return false;
  }
  char *buffer = nullptr;
  size_t length = 0;
  if (!Dictionary_WriteToBuffer(dict, &buffer, &length)) {
    return false;
  }
  auto release = [&]() {
    explicit_bzero(buffer, length);
    free(buffer);
  };

  // A new file gets exactly 0754; an existing one keeps its mode.
  int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
  if (fd >= 0) {
    fchmod(fd, kNewFileMode);
  } else if (errno == EEXIST) {
    fd = open(path, O_RDWR | O_CLOEXEC);
  }
  if (fd < 0) {
    int err = errno;
    DictMessage(messages, "@&!*@*@(msg.dictionary.open)Cannot open file \"%s\": %s.\n", path,
                strerror(err));
    release();
    errno = err;
    return false;
  }
  FILE *f = fdopen(fd, "r+");
  if (f == nullptr) {
    int err = errno;
    DictMessage(messages, "@&!*@*@(msg.dictionary.writefile.descToStream)Cannot get a stream "
                          "for file \"%s\": %s.\n",
                path, strerror(err));
    close(fd);
    release();
    errno = err;
    return false;
  }

  bool ok = true;
  int err = 0;
  auto fail = [&](const char *fmt) {
    err = errno;
    DictMessage(messages, fmt, path, strerror(err));
    ok = false;
  };
  if (fseek(f, 0, SEEK_SET) != 0) {
    fail("@&!*@*@(msg.dictionary.writefile.seek)Cannot rewind file \"%s\": %s.\n");
  } else if (length > 0 && fwrite(buffer, 1, length, f) != length) {
    fail("@&!*@*@(msg.dictionary.writefile.write)Error writing file \"%s\": %s.\n");
  } else if (ftruncate(fileno(f), static_cast<off_t>(length)) != 0) {
    fail("@&!*@*@(msg.dictionary.writefile.truncate)Cannot truncate file \"%s\": %s.\n");
  } else if (fflush(f) != 0) {
    fail("@&!*@*@(msg.dictionary.writefile.flush)Error writing file \"%s\": %s.\n");
  } else if (fsync(fileno(f)) != 0) {
    fail("@&!*@*@(msg.dictionary.writefile.sync)Cannot save file \"%s\" to disk: %s.\n");
  }
  if (fclose(f) != 0 && ok) {
    fail("@&!*@*@(msg.dictionary.close)Error closing file \"%s\": %s.\n");
  }
  release();
  if (!ok) {
    errno = err;
  }
  return ok;
}
