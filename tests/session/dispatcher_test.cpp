// The dispatcher's loop, the sector picker and the line-error line.
#include "session_fixture.h"

TEST_F(SessionTest, EveryWaitingByteIsOneStepInOrder) {
  // "h" "1" "2" logs two characters and returns to idle; the second "h" and
  // "3" only work if each byte ran in the state the one before it left.
  FeedWhole("h12h3");
  EXPECT_EQ(Win->Log, "123");
  EXPECT_EQ(S->SessionState(), St::AwaitLogCharSecond);
}

TEST_F(SessionTest, NotificationWithNothingQueuedChangesNothing) {
  Access::SetState(*S, St::AwaitIdentityWordStatus);
  S->Comm1CharReceived(3);
  EXPECT_TRUE(Win->Trace.empty());
  EXPECT_EQ(S->SessionState(), St::AwaitIdentityWordStatus);
}

TEST_F(SessionTest, EndedSessionSwallowsEveryByte) {
  Access::SetState(*S, St::Ended);
  FeedWhole("abdegjh\x00\xff"s);
  EXPECT_TRUE(Win->Trace.empty());
  EXPECT_TRUE(Port->Written.empty());
  EXPECT_EQ(S->SessionState(), St::Ended);
}

TEST_F(SessionTest, DeviceCharactersReachTheLogAsWindows1252) {
  struct Row {
    uint8_t byte;
    std::string utf8;
  };
  const Row rows[] = {{'A', "A"},         {0xE4, "\xC3\xA4"},    {0x80, "\xE2\x82\xAC"},
                      {0x9F, "\xC5\xB8"}, {0x81, "\xC2\x81"},    {0x00, std::string(1, '\0')},
                      {0xB4, "\xC2\xB4"}, {0x99, "\xE2\x84\xA2"}};
  for (const Row& row : rows) {
    Reset();
    FeedWhole(std::string("h") + static_cast<char>(row.byte) + "x");
    EXPECT_EQ(Win->Log, row.utf8 + "x") << int(row.byte);
  }
}

TEST_F(SessionTest, NextSelectedSectorWalksUpAndStopsAtTheLast) {
  auto& selected = Access::SectorSelected(*S);
  selected[3] = 1;
  selected[5] = 1;
  std::vector<int32_t> picked;
  for (int i = 0; i < 3; ++i) {
    Access::NextSelectedSector(*S);
    picked.push_back(S->CurrentSector());
  }
  EXPECT_EQ(picked, (std::vector<int32_t>{3, 5, 5}));

  selected.fill(0);
  selected[34] = 1;
  Access::SetCurrentSector(*S, 34);
  Access::NextSelectedSector(*S);
  EXPECT_EQ(S->CurrentSector(), 34);
}

TEST_F(SessionTest, LineErrorIsLoggedInHexWithAtLeastFourDigits) {
  const std::pair<uint32_t, std::string> rows[] = {{8, "<ERR: 0008>\r\n"},
                                                   {0, "<ERR: 0000>\r\n"},
                                                   {0xABC, "<ERR: 0ABC>\r\n"},
                                                   {0x12345, "<ERR: 12345>\r\n"},
                                                   {0xFFFFFFFF, "<ERR: FFFFFFFF>\r\n"}};
  for (const auto& [code, line] : rows) {
    Reset();
    Access::SetState(*S, St::AwaitProgramPrompt);
    S->Comm1CommError(code);
    EXPECT_EQ(Win->Log, line);
    EXPECT_EQ(Win->Panel, PanelForm::Error);
    EXPECT_EQ(S->SessionState(), St::AwaitProgramPrompt);
  }
}
