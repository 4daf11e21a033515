#include "dict_test_util.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "lib/dict/dict_log.h"

namespace {
std::mutex gLogMutex;
void Sink(uint32_t, const char *text) {
  std::lock_guard<std::mutex> lock(gLogMutex);
  LogCapture::Lines().push_back(text);
}
}  // namespace

ScratchDir::ScratchDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "swdict-XXXXXX").string();
  char *p = mkdtemp(tmpl.data());
  path_ = p != nullptr ? p : "";
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ScratchDir::Write(const std::string &name, const std::string &content) const {
  std::string file = path_ + "/" + name;
  std::filesystem::create_directories(std::filesystem::path(file).parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << content;
  return file;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

LogCapture::LogCapture() {
  Lines().clear();
  DictLog_SetSink(Sink);
}

LogCapture::~LogCapture() { DictLog_SetSink(nullptr); }

std::vector<std::string> &LogCapture::Lines() {
  static std::vector<std::string> lines;
  return lines;
}

bool LogCapture::Contains(const std::string &text) const {
  std::lock_guard<std::mutex> lock(gLogMutex);
  for (const std::string &l : Lines()) {
    if (l == text) {
      return true;
    }
  }
  return false;
}

std::vector<std::pair<std::string, std::string>> TakeMessages(MsgList *&list) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const MsgList *m = list; m != nullptr; m = m->next) {
    out.emplace_back(m->id, m->text);
  }
  MsgList_Free(list);
  list = nullptr;
  return out;
}

std::vector<std::string> TakeThreadMessageIds() {
  MsgList *list = Msg_TakeMsgList();
  std::vector<std::string> ids;
  for (const auto &[id, text] : TakeMessages(list)) {
    ids.push_back(id);
  }
  return ids;
}

bool LoadText(Dictionary *dict, const std::string &text, MsgList **msgs, int encoding) {
  return Dictionary_LoadFromBuffer(dict, "test.cfg", text.data(), text.size(), true, encoding,
                                   msgs);
}
