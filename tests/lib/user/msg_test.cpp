// User message lists: ids split from texts, logging form, per-thread lists
// and the filing of an ended thread's messages.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <thread>

#include "lib/user/msg.h"
#include "tests/lib/sig/capture_log.h"

using swtest::CaptureLog;
using ::testing::HasSubstr;

namespace {

TEST(MsgList, IdsAndTextsAndLogging) {
  MsgList *list = nullptr;
  MsgList_Append(&list, "@&!*@*@(msg.dictionary.notBoolean)Value \"%s\" for variable \"%s\" is "
                        "not a valid boolean value. Using value \"%s\".\n",
                 "maybe", "log.keep", "FALSE");
  MsgList_Append(&list, "@&!*@*@(msg.x.noNewline)count %d", 3);
  MsgList_Append(&list, "plain %s", "text");
  ASSERT_EQ(MsgList_Count(list), 3u);
  EXPECT_STREQ(list->id, "msg.dictionary.notBoolean");
  EXPECT_STREQ(list->text,
               "Value \"maybe\" for variable \"log.keep\" is not a valid boolean value. Using "
               "value \"FALSE\".\n");
  EXPECT_STREQ(list->next->id, "msg.x.noNewline");
  EXPECT_STREQ(list->next->text, "count 3");
  EXPECT_STREQ(list->next->next->id, "");
  EXPECT_STREQ(list->next->next->text, "plain text");

  CaptureLog::Get().Clear();
  MsgList_Log(list);
  std::string logged = CaptureLog::Get().Text();
  EXPECT_THAT(logged, HasSubstr("[msg.dictionary.notBoolean] Value \"maybe\""));
  EXPECT_THAT(logged, HasSubstr("[msg.x.noNewline] count 3\n"));
  EXPECT_THAT(logged, HasSubstr("[] plain text\n"));
  EXPECT_EQ(logged.find("\n\n"), std::string::npos);  // no doubled newline

  MsgList *more = nullptr;
  MsgList_AppendStr(&more, "a.b", "tail");
  MsgList_AppendList(&list, &more);
  EXPECT_EQ(more, nullptr);
  EXPECT_EQ(MsgList_Count(list), 4u);
  MsgList_Free(list);
}

TEST(Msg, PerThreadListsAndThreadEnd) {
  Msg_Reset(false);
  Msg_Append("@&!*@*@(msg.main)main %d", 1);
  unsigned long workerId = 0;
  std::thread worker([&] {
    EXPECT_EQ(Msg_GetMsgList(), nullptr);  // nothing leaks across threads
    Msg_Append("@&!*@*@(msg.vthreadPosix.createThreadFailed)Cannot start thread: %s\n", "x");
    workerId = static_cast<unsigned long>(pthread_self());
    Msg_ThreadExit();
    EXPECT_EQ(Msg_GetMsgList(), nullptr);
  });
  worker.join();
  ASSERT_NE(Msg_GetMsgList(), nullptr);
  EXPECT_STREQ(Msg_GetMsgList()->id, "msg.main");
  EXPECT_EQ(Msg_GetMsgList()->next, nullptr);

  MsgList *filed = Msg_TakeThreadMsgList(workerId);
  ASSERT_NE(filed, nullptr);
  EXPECT_STREQ(filed->id, "msg.vthreadPosix.createThreadFailed");
  EXPECT_STREQ(filed->text, "Cannot start thread: x\n");
  MsgList_Free(filed);
  EXPECT_EQ(Msg_TakeThreadMsgList(workerId), nullptr);

  MsgList *mine = Msg_TakeMsgList();
  EXPECT_EQ(MsgList_Count(mine), 1u);
  MsgList_Free(mine);
  EXPECT_EQ(Msg_GetMsgList(), nullptr);
}

}  // namespace
