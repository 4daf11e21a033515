// Reading dictionary files: the line syntax, encodings, duplicates and the
// messages an operator sees when a file is wrong.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "lib/dict/dict_internal.h"
#include "lib/user/msg.h"

namespace {

constexpr int kMaxDuplicates = 100;
// More than any hand-edited settings file holds. A file that grows beyond it
// (or standard input fed without end) is refused as a read error instead of
// being buffered until memory runs out.
constexpr size_t kMaxInputBytes = 16u << 20;
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "|XX" (two hex digits, either case) stands for the byte XX; any other "|"
// is kept as it is.
std::string Unescape(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); i++) {
    if (raw[i] == '|' && i + 2 < raw.size() && HexDigit(raw[i + 1]) >= 0 &&
        HexDigit(raw[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(raw[i + 1]) * 16 + HexDigit(raw[i + 2]));
      i += 2;
    } else {
      out += raw[i];
    }
  }
  return out;
}

// One line (without its newline) -> name and still-escaped value. False when
// the line carries no entry.
bool ParseLine(std::string_view line, std::string_view *name, std::string_view *value) {
  size_t i = 0;
  size_t n = line.size();
  while (i < n && IsBlank(line[i])) i++;
  size_t nameStart = i;
  while (i < n && line[i] != '\0' && !IsBlank(line[i]) && line[i] != '#' && line[i] != '=') i++;
  size_t nameEnd = i;
  while (i < n && IsBlank(line[i])) i++;
  if (nameEnd == nameStart || i >= n || line[i] != '=') {
    return false;
  }
  i++;
  while (i < n && IsBlank(line[i])) i++;
  size_t valueStart;
  size_t valueEnd;
  if (i < n && line[i] == '"') {
    valueStart = ++i;
    while (i < n && line[i] != '\0' && line[i] != '"') i++;
    if (i >= n || line[i] != '"') {
      return false;
    }
    valueEnd = i++;
  } else {
    valueStart = i;
    while (i < n && line[i] != '\0' && !IsBlank(line[i]) && line[i] != '#') i++;
    valueEnd = i;
  }
  while (i < n && IsBlank(line[i])) i++;
  if (i < n && line[i] != '#') {
    return false;
  }
  *name = line.substr(nameStart, nameEnd - nameStart);
  *value = line.substr(valueStart, valueEnd - valueStart);
  return true;
}

bool IsBlankOrComment(std::string_view line) {
  size_t i = 0;
  while (i < line.size() && IsBlank(line[i])) i++;
  return i == line.size() || line[i] == '#';
}

bool NameIs(std::string_view name, std::string_view word) {
  if (name.size() != word.size()) {
    return false;
  }
  for (size_t i = 0; i < name.size(); i++) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

bool IsEncodingDirective(std::string_view name) {
  return NameIs(name, "config.encoding") || NameIs(name, "preferences.encoding") ||
         NameIs(name, "vmlist.encoding") || NameIs(name, "snapshot.encoding") ||
         NameIs(name, ".encoding");
}

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) > 127) return false;
  }
  return true;
}

// Where in the file a message is about: file name and line number when
// known. Picks the message variant accordingly.
struct Where {
  const char *file;  // null: unknown
  int line;          // 0: unknown
};

void MsgBadEncodedInput(MsgList **msgs, Where w, const char *value, const char *name,
                        const char *encoding) {
  if (w.file != nullptr && w.line > 0) {
    DictMessage(msgs, "@&!*@*@(msg.dictionary.badEncodedInput)File \"%s\" line %d: Value \"%s\" "
                      "for variable \"%s\" is not valid in encoding \"%s\".\n",
                w.file, w.line, value, name, encoding);
  } else if (w.file != nullptr) {
    DictMessage(msgs, "@&!*@*@(msg.dictionary.badEncodedInputNoLine)File \"%s\": Value \"%s\" "
                      "for variable \"%s\" is not valid in encoding \"%s\".\n",
                w.file, value, name, encoding);
  } else {
    DictMessage(msgs, "@&!*@*@(msg.dictionary.badEncodedInputNoFile)Value \"%s\" for variable "
                      "\"%s\" is not valid in encoding \"%s\".\n",
                value, name, encoding);
  }
}

void MsgUnknownEncoding(MsgList **msgs, Where w, const char *encoding) {
  if (w.file != nullptr && w.line > 0) {
    DictMessage(msgs, "@&!*@*@(msg.dictionary.unknownEncoding)File \"%s\" (line %d) specifies a "
                      "character encoding (%s) that is not supported.\n",
                w.file, w.line, encoding);
  } else if (w.file != nullptr) {
    DictMessage(msgs, "@&!*@*@(msg.dictionary.unknownEncodingNoLine)File \"%s\" specifies a "
                      "character encoding (%s) that is not supported.\n",
                w.file, encoding);
  } else {
    DictMessage(msgs, "@&!*@*@(msg.dictionary.unknownEncodingNoFile)A character encoding (%s) "
                      "that is not supported was specified.\n",
                encoding);
  }
}

void MsgHasEncoding(MsgList **msgs, Where w, const char *encoding) {
  if (w.file != nullptr && w.line > 0) {
    DictMessage(msgs, "@&!*@*@(msg.dictionary.hasEncoding)File \"%s\" (line %d) already has "
                      "encoding \"%s\".\n",
                w.file, w.line, encoding);
  } else if (w.file != nullptr) {
    DictMessage(msgs, "@&!*@*@(msg.dictionary.hasEncodingNoLine)File \"%s\" already has "
                      "encoding \"%s\".\n",
                w.file, encoding);
  } else {
    DictMessage(msgs, "@&!*@*@(msg.dictionary.hasEncodingNoFile)The dictionary already has "
                      "encoding \"%s\".\n",
                encoding);
  }
}

void MsgSyntaxError(MsgList **msgs, Where w) {
  if (w.file != nullptr && w.line > 0) {
    DictMessage(msgs, "@&!*@*@(msg.dictionary.read.syntaxError)File \"%s\" line %d: Syntax "
                      "error.\n",
                w.file, w.line);
  } else if (w.file != nullptr) {
    DictMessage(msgs, "@&!*@*@(msg.dictionary.read.syntaxErrorNoLine)File \"%s\": Syntax "
                      "error.\n",
                w.file);
  } else {
    DictMessage(msgs, "@&!*@*@(msg.dictionary.read.syntaxErrorNoFile)Syntax error.\n");
  }
}

void MsgAlreadyDefined(MsgList **msgs, Where w, const char *name) {
  if (w.file != nullptr && w.line > 0) {
    DictMessage(msgs, "@&!*@*@(msg.dictionary.alreadyDefined)File \"%s\" line %d: Variable "
                      "\"%s\" is already defined.\n",
                w.file, w.line, name);
  } else if (w.file != nullptr) {
    DictMessage(msgs, "@&!*@*@(msg.dictionary.alreadyDefinedNoLine)File \"%s\": Variable \"%s\" "
                      "is already defined.\n",
                w.file, name);
  } else {
    DictMessage(msgs, "@&!*@*@(msg.dictionary.alreadyDefinedNoFile)Variable \"%s\" is already "
                      "defined.\n",
                name);
  }
}

// Settles the dictionary's encoding: every text value already stored must be
// valid in it and is converted to UTF-8. Nothing changes on failure.
bool ApplyEncoding(Dictionary *dict, int encoding, const char *encodingName, Where w,
                   MsgList **msgs) {
  if (encoding < 0) {
    MsgUnknownEncoding(msgs, w, encodingName);
    return false;
  }
  if (dict->encoding != kDictNoEncoding) {
    if (dict->encoding == encoding) {
      return true;  // values are UTF-8 already
    }
    MsgHasEncoding(msgs, w, DictEncodingName(dict->encoding));
    return false;
  }
  std::vector<std::pair<DictEntry *, std::string>> converted;
  for (DictEntry &e : dict->entries) {
    if ((e.type != DICT_ANY && e.type != DICT_STRING) || e.text.IsNone()) {
      continue;
    }
    std::string utf8;
    if (!DictDecode(e.text.View(), encoding, &utf8)) {
      MsgBadEncodedInput(msgs, Where{w.file, 0}, e.text.Get(), e.name.Get(),
                         DictEncodingName(encoding));
      return false;
    }
    converted.emplace_back(&e, std::move(utf8));
  }
  for (auto &[entry, text] : converted) {
    entry->text.Assign(text);
  }
  dict->encoding = encoding;
  return true;
}

// Feeds lines from a descriptor or from memory.
class LineSource {
 public:
  LineSource(int fd) : fd_(fd) {}
  LineSource(const char *data, size_t size) : fd_(-1), buf_(data, size), eof_(true) {}

  // Skips a leading UTF-8 byte-order mark; true when there was one.
  bool SkipBom() {
    while (buf_.size() - pos_ < kUtf8Bom.size() && !eof_ && Fill()) {
    }
    if (std::string_view(buf_).substr(pos_, kUtf8Bom.size()) == kUtf8Bom) {
      pos_ += kUtf8Bom.size();
      return true;
    }
    return false;
  }

  // Next line without its newline. False at the end or on a read error
  // (then error() is the errno).
  bool Next(std::string_view *line) {
    for (;;) {
      size_t nl = buf_.find('\n', scan_);
      if (nl != std::string::npos) {
        *line = std::string_view(buf_).substr(pos_, nl - pos_);
        pos_ = nl + 1;
        scan_ = pos_;
        return true;
      }
      scan_ = buf_.size();
      if (eof_) {
        if (pos_ < buf_.size()) {
          *line = std::string_view(buf_).substr(pos_);
          pos_ = scan_ = buf_.size();
          return true;
        }
        return false;
      }
      if (!Fill()) {
        if (error_ != 0) {
          return false;
        }
      }
    }
  }

  int error() const { return error_; }

 private:
  // Reads more bytes, dropping the consumed ones first. False at the end
  // of the input or on an error.
  bool Fill() {
    if (pos_ > 0) {
      buf_.erase(0, pos_);
      scan_ -= pos_;
      pos_ = 0;
    }
    char chunk[16384];
    for (;;) {
      // Asks for one byte past the limit at most, to tell a file of exactly
      // the limit from a longer one.
      ssize_t n = read(fd_, chunk, std::min(sizeof chunk, kMaxInputBytes + 1 - total_));
      if (n > 0) {
        total_ += static_cast<size_t>(n);
        if (total_ > kMaxInputBytes) {
          error_ = EFBIG;
          eof_ = true;
          return false;
        }
        buf_.append(chunk, static_cast<size_t>(n));
        return true;
      }
      if (n == 0) {
        eof_ = true;
        return false;
      }
      if (errno == EINTR) {
        continue;
      }
      error_ = errno;
      eof_ = true;
      return false;
    }
  }

  int fd_;
  std::string buf_;
  size_t pos_ = 0;   // start of the next line
  size_t scan_ = 0;  // where the search for a newline resumes
  size_t total_ = 0;  // bytes read from fd_ so far
  bool eof_ = false;
  int error_ = 0;
};

void RetainLine(Dictionary *dict, std::string_view text, DictEntry *entry) {
  auto line = std::make_unique<DictLine>();
  line->text.Assign(text);
  line->entry = entry;
  if (entry != nullptr) {
    entry->line = line.get();
  }
  dict->lines.push_back(std::move(line));
}

// DictionaryReadLines: everything after the file is open.
bool DictionaryReadLines(Dictionary *dict, LineSource &src, const char *fileName, bool allowBom,
                         int defaultEncoding, MsgList **msgs) {
  bool hadBom = allowBom && src.SkipBom();
  int lineNumber = 0;
  int duplicates = 0;
  std::string_view line;

  while (src.Next(&line)) {
    lineNumber++;
    Where here{fileName, lineNumber};
    std::string_view name;
    std::string_view rawValue;
    if (!ParseLine(line, &name, &rawValue)) {
      RetainLine(dict, line, nullptr);
      if (IsBlankOrComment(line)) {
        continue;
      }
      DictLog(kLogWarning, "%s: syntax error with line, \"%s\".\n", "DictionaryParseReadLine",
              std::string(line).c_str());
      MsgSyntaxError(msgs, here);
      return false;
    }
    std::string nameText(name);
    std::string value = Unescape(rawValue);

    if (IsEncodingDirective(name)) {
      if (!ApplyEncoding(dict, DictEncodingFromName(value.c_str()), value.c_str(), here, msgs)) {
        return false;
      }
      continue;
    }
    if (name[0] == '.') {
      DictLog(kLogWarning, "%s: \"%s\" line %d: unrecognized metavariable \"%s\"\n",
              "DictionaryParseReadLine", fileName != nullptr ? fileName : "", lineNumber,
              nameText.c_str());
      continue;
    }
    if (DictFind(dict, name) != nullptr) {
      MsgAlreadyDefined(msgs, here, nameText.c_str());
      RetainLine(dict, line, nullptr);
      if (++duplicates > kMaxDuplicates) {
        DictLog(kLogWarning, "%s: \"%s\" line %d: too many duplicate entries in dictionary, "
                             "quitting.\n",
                "DictionaryReadLines", fileName != nullptr ? fileName : "", lineNumber);
        break;
      }
      continue;
    }
    if (!IsAscii(name)) {
      DictMessage(msgs, "@&!*@*@(msg.dictionary.nameNotASCII)File \"%s\" line %d: Variable \"%s\" "
                        "is not valid ASCII.\n",
                  fileName != nullptr ? fileName : "", lineNumber, nameText.c_str());
      return false;
    }
    if (dict->encoding != kDictNoEncoding) {
      std::string utf8;
      if (!DictDecode(value, dict->encoding, &utf8)) {
        MsgBadEncodedInput(msgs, here, value.c_str(), nameText.c_str(),
                           DictEncodingName(dict->encoding));
        return false;
      }
      value.swap(utf8);
    }
    DictEntry *entry = DictAdd(dict, name);
    entry->text.Assign(value);
    RetainLine(dict, line, entry);
  }

  if (src.error() != 0) {
    DictMessage(msgs, "@&!*@*@(msg.dictionary.read.readError)File \"%s\" line %d: %s.\n",
                fileName != nullptr ? fileName : "", lineNumber + 1, strerror(src.error()));
    return false;
  }

  // The file named no encoding: a byte-order mark suggests UTF-8, else (or
  // when that fails) the caller's default applies.
  Where atEnd{fileName, 0};
  if (dict->encoding == kDictNoEncoding) {
    bool settled = false;
    if (hadBom) {
      MsgList *dropped = nullptr;
      settled = ApplyEncoding(dict, 0 /* UTF-8 */, "UTF-8", atEnd, &dropped);
      MsgList_Free(dropped);
    }
    if (!settled) {
      int encoding = defaultEncoding == kDictCurrentEncoding ? DictCurrentEncoding()
                                                             : defaultEncoding;
      const char *encodingName = defaultEncoding == kDictCurrentEncoding
                                     ? DictCurrentEncodingName()
                                     : DictEncodingName(defaultEncoding);
      if (!ApplyEncoding(dict, encoding, encodingName, atEnd, msgs)) {
        DictMessage(msgs, "@&!*@*@(msg.dictionary.badDefaultEncoding)An error occurred while "
                          "decoding file \"%s\" using the default character encoding.\n",
                    fileName != nullptr ? fileName : "");
        return false;
      }
    }
  }
  // Duplicates do not stop reading (up to the limit) but fail the load.
  return duplicates == 0;
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

bool DictionaryLoad(Dictionary *dict, const char *path, bool clear, int defaultEncoding,
                    MsgList **messages) noexcept {
  if (dict == nullptr) {
    return false;
  }
  if (clear) {
    Dictionary_Clear(dict);
  }
  if (path == nullptr) {
    return true;
  }
  if (strcmp(path, "-") == 0) {
    LineSource src(STDIN_FILENO);
    return DictionaryReadLines(dict, src, "<stdin>", false, defaultEncoding, messages);
  }

  // O_NONBLOCK keeps a FIFO without a writer from blocking the open (it is
  // refused below, as is every other file that is not a regular one); it
  // changes nothing for regular files.
  Fd file;
  file.fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (file.fd < 0) {
    int err = errno;
    DictLog(kLogInfo, "%s: Cannot open file \"%s\": %s.\n", "DictionaryLoad", path, strerror(err));
    DictMessage(messages, "@&!*@*@(msg.dictionary.load.openFailed)Cannot open file \"%s\": %s.\n",
                path, strerror(err));
    errno = err;
    return false;
  }
  struct stat st;
  if (fstat(file.fd, &st) != 0) {
    int err = errno;
    DictLog(kLogInfo, "%s: Unable to get information about file \"%s\": %s.\n", "DictionaryLoad",
            path, strerror(err));
    DictMessage(messages, "@&!*@*@(msg.dictionary.load.statFailed)Unable to get information about "
                          "file \"%s\": %s.\n",
                path, strerror(err));
    errno = err;
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    DictLog(kLogInfo, "%s: \"%s\" is a directory.\n", "DictionaryLoad", path);
    DictMessage(messages, "@&!*@*@(msg.dictionary.load.isDirectory)\"%s\" is a directory.\n", path);
    errno = EISDIR;
    return false;
  }
  // A device, FIFO or socket (also through a symbolic link, such as a
  // settings file linked to /dev/zero) may never end: reading it would hang
  // start-up while the buffer grows.
  if (!S_ISREG(st.st_mode)) {
    DictLog(kLogInfo, "%s: \"%s\" is not a regular file.\n", "DictionaryLoad", path);
    DictMessage(messages,
                "@&!*@*@(msg.dictionary.load.notRegularFile)\"%s\" is not a regular file.\n",
                path);
    errno = EINVAL;
    return false;
  }
  LineSource src(file.fd);
  return DictionaryReadLines(dict, src, path, true, defaultEncoding, messages);
}

bool Dictionary_LoadFromBuffer(Dictionary *dict, const char *name, const char *data, size_t size,
                               bool clear, int defaultEncoding, MsgList **messages) noexcept {
  if (dict == nullptr || (data == nullptr && size > 0)) {
    return false;
  }
  if (clear) {
    Dictionary_Clear(dict);
  }
  LineSource src(data != nullptr ? data : "", size);
  return DictionaryReadLines(dict, src, name, true, defaultEncoding, messages);
}
