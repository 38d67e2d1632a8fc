// "verify hardware": the 2048-word read and the identity taken from it.
#include "session_fixture.h"

namespace {

// The device's answer to the read: each word followed by "g", then one byte
// after the stop.
std::string WordScript(const std::string& block) {
  std::string script;
  for (size_t i = 0; i < block.size(); i += 2) script += block.substr(i, 2) + "g";
  return script + "z";
}

std::string Block(const std::string& records) {
  std::string block = records;
  block.resize(4096, '\xEE');
  return block;
}

}  // namespace

TEST_F(SessionTest, IdentityReadTakesTheDeviceValues) {
  const std::string block =
      Block(Record("PRODUKTNAME", "UNIT-7") + "gg" + Record("HARDWAREVER", "1.2a") +
            Record("SERIAL_NO  ", "\x78\x56\x34\x12") + Record("BRANDLABEL ", "XY"));
  // A split at every position of 6145 bytes is too many runs; every 331st
  // and one byte per notification cover the framing.
  ExpectSameAtEverySplit([&] { S->StartIdentify(); }, WordScript(block), 331);

  std::string wire = "5\x00\x40\x00"s + "3";
  wire += std::string(2047, '3') + "4";
  EXPECT_EQ(Port->WrittenText(), wire);
  ASSERT_EQ(Win->Percents.size(), 2048u);
  EXPECT_EQ(Win->Percents[1023], 50);
  EXPECT_EQ(Win->PanelCounts[1023], 1024);
  EXPECT_EQ(Win->Percents.back(), 100);
  EXPECT_EQ(Win->Log,
            "\r\n\r\n<flashroutine waiting for command...>\r\n<command: read from address>"
            "\r\n<done>\r\n\r\n\r\n<device: product UNIT-7, hardware version 1.2a, serial number "
            "305419896, brand label XY>\r\n");
  EXPECT_EQ(S->Identity().ProductName, "UNIT-7");
  EXPECT_EQ(S->Identity().HardwareVersion, "1.2a");
  EXPECT_EQ(S->Identity().SerialNumber, 0x12345678u);
  EXPECT_TRUE(S->Identity().SerialNumberFound);
  EXPECT_EQ(S->Identity().BrandLabel, "XY");
  EXPECT_EQ(std::string(S->IdentityArea().begin(), S->IdentityArea().begin() + 4096), block);
  EXPECT_EQ(Win->Panel, PanelForm::Success);
  EXPECT_TRUE(Win->Warnings.empty());
  EXPECT_TRUE(Win->Enabled[Control::Button4]);
  EXPECT_FALSE(Win->Enabled[Control::Button6]);
  EXPECT_EQ(Win->Labels[StepLabel::Label4], LabelColour::Yellow);
  EXPECT_EQ(S->SessionState(), St::Idle);
}

TEST_F(SessionTest, BlockWithoutProductNameIsNotIdentified) {
  DeviceIdentity earlier;
  earlier.SerialNumber = 99;
  earlier.SerialNumberFound = true;
  S->UseIdentity(earlier);
  S->StartIdentify();
  FeedWhole(WordScript(Block(Record("PRODUKTNAME", "") + Record("HARDWAREVER", "9"))));
  EXPECT_EQ(Win->Warnings, (std::vector<std::string>{"unable to identify your hardware"}));
  EXPECT_EQ(Win->Panel, PanelForm::Error);
  // "OK" came first: the read itself worked.
  EXPECT_NE(std::find(Win->Trace.begin(), Win->Trace.end(), "panel 2"), Win->Trace.end());
  EXPECT_FALSE(S->Identity().SerialNumberFound);
  EXPECT_EQ(S->Identity().SerialNumber, 99u);
  EXPECT_TRUE(Win->Enabled[Control::Button4]);
}

TEST_F(SessionTest, BytesBeyondTheIdentityBlockAreNeverStored) {
  S->StartIdentify();
  Access::SetReceiveIndex(*S, 4094);
  Access::SetState(*S, St::AwaitIdentityWordFirst);
  FeedWhole("ABgCDgEFg");
  EXPECT_EQ(S->IdentityArea()[4094], 'A');
  EXPECT_EQ(S->IdentityArea()[4095], 'B');
  for (size_t i = 4096; i < S->IdentityArea().size(); ++i) EXPECT_EQ(S->IdentityArea()[i], 0);
  EXPECT_EQ(S->ReceiveIndex(), 4096);
  EXPECT_EQ(S->TransferCount(), 3);
}
