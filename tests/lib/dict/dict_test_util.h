// Helpers shared by the dictionary tests: a scratch folder, captured log
// lines and message lists as plain vectors.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "lib/dict/dictionary.h"
#include "lib/user/msg.h"

// A fresh folder under the system temporary directory, removed at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string &path() const { return path_; }
  std::string Write(const std::string &name, const std::string &content) const;

 private:
  std::string path_;
};

std::string ReadFile(const std::string &path);

// Captures the dictionary's log lines while alive.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  static std::vector<std::string> &Lines();
  bool Contains(const std::string &text) const;
};

// (id, text) pairs of a list; frees the list.
std::vector<std::pair<std::string, std::string>> TakeMessages(MsgList *&list);
// The ids of the calling thread's messages; clears them.
std::vector<std::string> TakeThreadMessageIds();

// Loads text through the in-memory reader.
bool LoadText(Dictionary *dict, const std::string &text, MsgList **msgs,
              int encoding = kDictCurrentEncoding);

// Owns a Dictionary.
struct DictHolder {
  Dictionary *d = Dictionary_Create();
  ~DictHolder() { Dictionary_Free(d); }
  operator Dictionary *() const { return d; }
};
