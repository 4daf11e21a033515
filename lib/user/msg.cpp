// User message lists and the per-thread message state.
#include "lib/user/msg.h"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "lib/lock/userlock.h"
#include "lib/sig/panic.h"
#include "lib/string/str.h"

namespace {

constexpr char kMarker[] = "@&!*@*@(";
constexpr size_t kMarkerLen = sizeof kMarker - 1;

char *Dup(const char *text) {
  char *copy = strdup(text);
  if (copy == nullptr) {
    Panic_MemAllocSize(strlen(text) + 1);
  }
  return copy;
}

MsgList **Tail(MsgList **list) {
  while (*list != nullptr) {
    list = &(*list)->next;
  }
  return list;
}

// Per-thread messages. A thread_local owner frees whatever is left when a
// thread ends without filing its messages (foreign threads).
struct ThreadMessages {
  MsgList *list = nullptr;
  ~ThreadMessages() { MsgList_Free(list); }
};
thread_local ThreadMessages threadMessages;

// Messages of ended threads, keyed by thread id, and the message locale,
// guarded by "msgLock".
std::atomic<MXUserRecLock *> msgLockSlot{nullptr};
std::map<unsigned long, MsgList *> *filed = nullptr;
char *localeLanguage = nullptr;
char *localeCatalogue = nullptr;

MXUserRecLock *MsgLock(void) {
  return MXUser_CreateSingletonRecLock(&msgLockSlot, "msgLock", 0xfeffffff);
}

}  // namespace

void MsgList_AppendStr(MsgList **list, const char *id, const char *text) {
  if (list == nullptr) {
    return;
  }
  auto *m = static_cast<MsgList *>(calloc(1, sizeof(MsgList)));
  if (m == nullptr) {
    Panic_MemAllocSize(sizeof(MsgList));
  }
  m->id = Dup(id != nullptr ? id : "");
  m->text = Dup(text != nullptr ? text : "");
  *Tail(list) = m;
}

void MsgList_VAppend(MsgList **list, const char *fmt, va_list args) {
  if (list == nullptr) {
    return;
  }
  const char *id = "";
  size_t idLen = 0;
  const char *body = fmt;
  if (strncmp(fmt, kMarker, kMarkerLen) == 0) {
    const char *close = strchr(fmt + kMarkerLen, ')');
    if (close != nullptr) {
      id = fmt + kMarkerLen;
      idLen = static_cast<size_t>(close - id);
      body = close + 1;
    }
  }
  char *text = Str_Vasprintf(nullptr, body, args);
  char *idCopy = strndup(id, idLen);
  if (idCopy == nullptr) {
    Panic_MemAllocSize(idLen + 1);
  }
  MsgList_AppendStr(list, idCopy, text);
  free(idCopy);
  free(text);
}

void MsgList_Append(MsgList **list, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  MsgList_VAppend(list, fmt, args);
  va_end(args);
}

void MsgList_AppendList(MsgList **to, MsgList **from) {
  if (to == nullptr || from == nullptr || *from == nullptr) {
    return;
  }
  *Tail(to) = *from;
  *from = nullptr;
}

void MsgList_Log(const MsgList *list) {
  for (; list != nullptr; list = list->next) {
    size_t len = strlen(list->text);
    bool hasNewline = len > 0 && list->text[len - 1] == '\n';
    LogHook_Info("[%s] %s%s", list->id, list->text, hasNewline ? "" : "\n");
  }
}

size_t MsgList_Count(const MsgList *list) {
  size_t n = 0;
  for (; list != nullptr; list = list->next) {
    n++;
  }
  return n;
}

void MsgList_Free(MsgList *list) {
  while (list != nullptr) {
    MsgList *next = list->next;
    free(list->id);
    free(list->text);
    free(list);
    list = next;
  }
}

void Msg_VAppend(const char *fmt, va_list args) {
  MsgList_VAppend(&threadMessages.list, fmt, args);
}

void Msg_Append(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Msg_VAppend(fmt, args);
  va_end(args);
}

const MsgList *Msg_GetMsgList(void) { return threadMessages.list; }

MsgList *Msg_TakeMsgList(void) {
  MsgList *list = threadMessages.list;
  threadMessages.list = nullptr;
  return list;
}

void Msg_Reset(bool log) {
  if (log) {
    MsgList_Log(threadMessages.list);
  }
  MsgList_Free(threadMessages.list);
  threadMessages.list = nullptr;
}

void Msg_ThreadExit(void) {
  MsgList *list = Msg_TakeMsgList();
  if (list == nullptr) {
    return;  // nothing to keep: the table grows only with real messages
  }
  unsigned long id = static_cast<unsigned long>(pthread_self());
  MXUserRecGuard hold(MsgLock());
  if (filed == nullptr) {
    filed = new std::map<unsigned long, MsgList *>;
  }
  // Thread ids are reused: a new thread's messages replace the old ones.
  MsgList *&slot = (*filed)[id];
  MsgList_Free(slot);
  slot = list;
}

MsgList *Msg_TakeThreadMsgList(unsigned long threadId) {
  MXUserRecGuard hold(MsgLock());
  if (filed == nullptr) {
    return nullptr;
  }
  auto it = filed->find(threadId);
  if (it == filed->end()) {
    return nullptr;
  }
  MsgList *list = it->second;
  filed->erase(it);
  return list;
}

void Msg_SetLocale(const char *language, const char *catalogueName) {
  char *newLanguage = language != nullptr ? Dup(language) : nullptr;
  char *newCatalogue = catalogueName != nullptr ? Dup(catalogueName) : nullptr;
  MXUserRecGuard hold(MsgLock());
  free(localeLanguage);
  free(localeCatalogue);
  localeLanguage = newLanguage;
  localeCatalogue = newCatalogue;
}

char *Msg_GetLocale(void) {
  MXUserRecGuard hold(MsgLock());
  return localeLanguage != nullptr ? Dup(localeLanguage) : nullptr;
}
