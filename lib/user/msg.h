// User messages: texts meant for the person running the program, each
// with a message id. A format starting with "@&!*@*@(" carries its id up
// to the closing parenthesis, then the English text:
//   "@&!*@*@(msg.dictionary.notBoolean)Value \"%s\" ..."
// Messages collect in lists: explicit ones (MsgList) that a caller passes
// down, and one per thread (Msg_*) for code that has no list to hand.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "lib/sig/log_hook.h"

struct MsgList {
  MsgList *next;
  char *id;    // "" when the format carried no id
  char *text;  // formatted English text
};

// Formats and appends one message to the end of *list (list may be null:
// the message is then dropped).
void MsgList_Append(MsgList **list, const char *fmt, ...) SW_PRINTF(2, 3);
void MsgList_VAppend(MsgList **list, const char *fmt, va_list args) SW_PRINTF(2, 0);
// Appends an already formatted message with the given id.
void MsgList_AppendStr(MsgList **list, const char *id, const char *text);
// Appends (moves) every message of *from to the end of *to; *from is empty
// afterwards.
void MsgList_AppendList(MsgList **to, MsgList **from);
// Logs each message at info level as "[%s] %s%s" (id, text, newline when
// the text lacks one).
void MsgList_Log(const MsgList *list);
size_t MsgList_Count(const MsgList *list);
void MsgList_Free(MsgList *list);

// The calling thread's own list.
void Msg_Append(const char *fmt, ...) SW_PRINTF(1, 2);
void Msg_VAppend(const char *fmt, va_list args) SW_PRINTF(1, 0);
// The calling thread's messages (not a copy; valid until the list changes).
const MsgList *Msg_GetMsgList(void);
// Takes the calling thread's messages; the caller frees them.
MsgList *Msg_TakeMsgList(void);
// Clears the calling thread's list, logging its messages first when log.
void Msg_Reset(bool log);
// Tells the service that the calling thread ends: its messages are filed
// under its thread id (they would otherwise be lost with the thread).
void Msg_ThreadExit(void);
// Takes the messages filed by a thread that has ended; null when none.
MsgList *Msg_TakeThreadMsgList(unsigned long threadId);

// The message locale: the language of the messages meant for the user and
// the catalogue their translations come from. Until a catalogue for the
// language is installed, the English texts stand.
void Msg_SetLocale(const char *language, const char *catalogueName);
// A copy of the language set (the caller frees it); null before any.
char *Msg_GetLocale(void);
