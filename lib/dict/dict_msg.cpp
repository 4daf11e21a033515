// User messages of the dictionary: to the caller's list, or to the calling
// thread's list when the caller gave none.
#include <cstdarg>

#include "lib/dict/dict_internal.h"
#include "lib/user/msg.h"

void DictMessage(MsgList **list, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  if (list != nullptr) {
    MsgList_VAppend(list, fmt, args);
  } else {
    Msg_VAppend(fmt, args);
  }
  va_end(args);
}
