// TComm's settings model and its window procedure, without a device.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "comm_async/comm_async.h"
#include "core/line_settings.h"
#include "comm_async/queue_notify_target.h"

namespace {

struct CommFixture : ::testing::Test {
  QueueNotifyTarget target;
  TComm comm{target};

  // Puts a whole Dcb into the component the way the settings dialog does.
  void TakeFromDialog(const Dcb& dcb) {
    comm.SetSetupDialog([&dcb](uint8_t, const std::string&, Dcb& shown) {
      shown = dcb;
      return true;
    });
    comm.ShowSetupDialog();
  }
  Dcb WithFlags(uint32_t flags) {
    Dcb dcb = comm.GetDcb();
    dcb.Flags = flags;
    return dcb;
  }
};

using CommProperties = CommFixture;

TEST_F(CommProperties, ConstructionLeavesAnUnconfiguredClosedComponent) {
  const Dcb& dcb = comm.GetDcb();
  EXPECT_EQ(dcb.DCBlength, 28u);
  EXPECT_EQ(dcb.BaudRate, 0u);
  EXPECT_EQ(dcb.Flags, 0u);
  EXPECT_EQ(dcb.ByteSize, 0);
  EXPECT_EQ(comm.Port(), 0);
  EXPECT_EQ(comm.CommMask(), 0u);
  EXPECT_EQ(comm.InBufSize(), 0u);
  EXPECT_FALSE(comm.Connected());
  // Port 0 names no device.
  EXPECT_FALSE(comm.Open());
  EXPECT_FALSE(comm.Connected());
}

TEST_F(CommProperties, Comm1ConfigurationGivesThe8N1LineAt38400) {
  LoadComm1Configuration(comm);
  const Dcb& dcb = comm.GetDcb();
  EXPECT_EQ(dcb.DCBlength, 28u);
  EXPECT_EQ(dcb.BaudRate, 38400u);
  EXPECT_EQ(dcb.Flags, 0x11u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, 0);
  EXPECT_EQ(dcb.XonLim, 0);
  EXPECT_EQ(dcb.XoffLim, 0);
  EXPECT_EQ(dcb.XonChar, 0);
  EXPECT_EQ(dcb.XoffChar, 0);
  EXPECT_EQ(dcb.ErrorChar, 0);
  EXPECT_EQ(dcb.EofChar, 0);
  EXPECT_EQ(dcb.EvtChar, 0);
  EXPECT_EQ(comm.CommMask(), 0x1FFu);
  EXPECT_EQ(comm.EventMask(), EventMaskAll);
  EXPECT_EQ(comm.InBufSize(), 2048u);
  EXPECT_EQ(comm.OutBufSize(), 2048u);
  EXPECT_EQ(comm.Port(), 1);
  EXPECT_EQ(comm.BaudRate(), cbr38400);
  EXPECT_EQ(comm.FlowControl(), cfcNone);
  EXPECT_FALSE(comm.Connected());
}

TEST_F(CommProperties, PortTakesOnlyOneToFour) {
  struct Row {
    uint8_t start;
    uint8_t value;
    uint8_t expected;
  };
  const std::vector<Row> rows = {{0, 0, 0}, {0, 5, 0}, {0, 255, 0}, {0, 1, 1},
                                 {0, 4, 4}, {2, 3, 3}, {2, 2, 2},   {3, 0, 3}};
  for (const Row& row : rows) {
    QueueNotifyTarget t;
    TComm c(t);
    if (row.start) c.SetPort(row.start);
    c.SetPort(row.value);
    EXPECT_EQ(c.Port(), row.expected) << "from " << int(row.start) << " set " << int(row.value);
  }
}

TEST_F(CommProperties, ByteSizeTakesOnlyThreeToEight) {
  LoadComm1Configuration(comm);
  struct Row {
    uint8_t value;
    uint8_t expected;
  };
  const std::vector<Row> rows = {{2, 8}, {9, 8}, {0, 8}, {3, 3}, {4, 4},
                                 {5, 5}, {6, 6}, {7, 7}, {8, 8}, {255, 8}};
  for (const Row& row : rows) {
    comm.SetByteSize(8);
    comm.SetByteSize(row.value);
    EXPECT_EQ(comm.ByteSize(), row.expected) << "set " << int(row.value);
  }
}

TEST_F(CommProperties, BitRateRoundTripsAndUnknownRatesReadAs256000) {
  const std::vector<std::pair<TBaudRate, uint32_t>> known = {
      {cbr110, 110},       {cbr300, 300},       {cbr600, 600},      {cbr1200, 1200},
      {cbr2400, 2400},     {cbr4800, 4800},     {cbr9600, 9600},    {cbr14400, 14400},
      {cbr19200, 19200},   {cbr38400, 38400},   {cbr56000, 56000},  {cbr57600, 57600},
      {cbr115200, 115200}, {cbr128000, 128000}, {cbr256000, 256000}};
  for (const auto& [rate, bits] : known) {
    comm.SetBaudRate(rate);
    EXPECT_EQ(comm.GetDcb().BaudRate, bits);
    EXPECT_EQ(comm.BaudRate(), rate);
  }
  for (const uint32_t odd : {0u, 12345u, 230400u, 1u, 0xFFFFFFFFu}) {
    Dcb dcb = comm.GetDcb();
    dcb.BaudRate = odd;
    TakeFromDialog(dcb);
    EXPECT_EQ(comm.GetDcb().BaudRate, odd);
    EXPECT_EQ(comm.BaudRate(), cbr256000) << odd;
  }
}

TEST_F(CommProperties, ParityKeepsTheCheckingFlagInStep) {
  struct Row {
    TParity value;
    uint8_t field;
    bool checking;
  };
  // Each row follows the one before: cpNONE after cpEVEN must clear the flag.
  const std::vector<Row> rows = {{cpEVEN, 2, true},  {cpNONE, 0, false}, {cpMARK, 3, true},
                                 {cpODD, 1, true},   {cpSPACE, 4, true}, {cpNONE, 0, false},
                                 {cpNONE, 0, false}, {cpEVEN, 2, true}};
  comm.SetFlowControl(cfcNone);
  for (const Row& row : rows) {
    comm.SetParity(row.value);
    EXPECT_EQ(comm.GetDcb().Parity, row.field);
    EXPECT_EQ((comm.GetDcb().Flags & DcbParity) != 0, row.checking) << int(row.value);
    EXPECT_EQ(comm.GetDcb().Flags & ~DcbParity, 0x11u) << "other flags untouched";
    EXPECT_EQ(comm.Parity(), row.value);
  }
  for (const auto& [field, expected] : std::vector<std::pair<uint8_t, TParity>>{
           {0, cpNONE}, {1, cpODD}, {4, cpSPACE}, {5, cpNONE}, {200, cpNONE}}) {
    Dcb dcb = comm.GetDcb();
    dcb.Parity = field;
    TakeFromDialog(dcb);
    EXPECT_EQ(comm.Parity(), expected) << int(field);
  }
}

TEST_F(CommProperties, StopBitsReadBackFromTheRawField) {
  for (const TStopBits value : {csbONE, csbONE5, csbTWO}) {
    comm.SetStopBits(value);
    EXPECT_EQ(comm.GetDcb().StopBits, static_cast<uint8_t>(value));
    EXPECT_EQ(comm.StopBits(), value);
  }
  for (const auto& [field, expected] : std::vector<std::pair<uint8_t, TStopBits>>{
           {0, csbONE}, {1, csbONE5}, {2, csbTWO}, {3, csbTWO}, {255, csbTWO}}) {
    Dcb dcb = comm.GetDcb();
    dcb.StopBits = field;
    TakeFromDialog(dcb);
    EXPECT_EQ(comm.StopBits(), expected) << int(field);
  }
}

TEST_F(CommProperties, FlowControlMasksTheFlagWordAndAddsItsBits) {
  struct Row {
    uint32_t before;
    TFlowControl value;
    uint32_t after;
  };
  const std::vector<Row> rows = {
      {0x0000, cfcNone, 0x0011},
      {0x0000, cfcHardware, 0x2015},
      {0x0000, cfcXonXoff, 0x0311},
      {0x7FFF, cfcNone, 0x4C93},
      {0x7FFF, cfcHardware, 0x6C97},
      {0x7FFF, cfcXonXoff, 0x4F93},
      {0x2015, cfcXonXoff, 0x0311},
      {0x0311, cfcHardware, 0x2015},
      {0x0002, cfcNone, 0x0013},
      {0xFFFF0000, cfcNone, 0x0011},
      // fBinary already set, as every dialog leaves it: no carry into fParity.
      {0x0011, cfcNone, 0x0011},
      {0x0011, cfcHardware, 0x2015},
      {0x0001, cfcXonXoff, 0x0311},
  };
  for (const Row& row : rows) {
    TakeFromDialog(WithFlags(row.before));
    comm.SetFlowControl(row.value);
    EXPECT_EQ(comm.GetDcb().Flags, row.after) << std::hex << row.before << " " << int(row.value);
    EXPECT_EQ(comm.FlowControl(), row.value);
  }
}

TEST_F(CommProperties, FlowControlReadsBackFromAnyFlagWord) {
  const std::vector<std::pair<uint32_t, TFlowControl>> rows = {
      {0x0000, cfcNone},     {0x2000, cfcHardware}, {0x3000, cfcHardware},  // RTS toggle
      {0x1000, cfcNone},     {0x0004, cfcNone},     {0x0100, cfcNone},      // fOutX alone
      {0x0200, cfcNone},     {0x0300, cfcXonXoff},  {0x2300, cfcHardware},
      {0x3311, cfcHardware}, {0x0311, cfcXonXoff},
  };
  for (const auto& [flags, expected] : rows) {
    TakeFromDialog(WithFlags(flags));
    EXPECT_EQ(comm.FlowControl(), expected) << std::hex << flags;
  }
}

TEST_F(CommProperties, QueueSizesIgnoreZero) {
  comm.SetInBufSize(4096);
  comm.SetOutBufSize(1024);
  comm.SetInBufSize(0);
  comm.SetOutBufSize(0);
  EXPECT_EQ(comm.InBufSize(), 4096u);
  EXPECT_EQ(comm.OutBufSize(), 1024u);
  comm.SetInBufSize(1);
  EXPECT_EQ(comm.InBufSize(), 1u);
}

TEST_F(CommProperties, EventMaskMapsEachElementToItsEventBit) {
  const std::vector<std::pair<TEventMaskElement, uint32_t>> rows = {
      {cevBREAK, 0x40}, {cevCTS, 0x08},    {cevDSR, 0x10},    {cevERR, 0x80},     {cevRING, 0x100},
      {cevRLSD, 0x20},  {cevRXCHAR, 0x01}, {cevRXFLAG, 0x02}, {cevTXEMPTY, 0x04},
  };
  for (const auto& [element, bit] : rows) {
    comm.SetEventMask(EventMaskOf(element));
    EXPECT_EQ(comm.CommMask(), bit) << int(element);
    EXPECT_EQ(comm.EventMask(), EventMaskOf(element));
  }
  const TEventMask some = EventMaskOf(cevERR) | EventMaskOf(cevRXCHAR) | EventMaskOf(cevRING);
  comm.SetEventMask(some);
  EXPECT_EQ(comm.CommMask(), 0x181u);
  EXPECT_EQ(comm.EventMask(), some);
  comm.SetEventMask(EventMaskAll);
  EXPECT_EQ(comm.CommMask(), 0x1FFu);
  comm.SetEventMask(0);
  EXPECT_EQ(comm.CommMask(), 0u);
}

TEST_F(CommProperties, ClosedSetupDialogShowsOwnSettingsAndCancelChangesNothing) {
  LoadComm1Configuration(comm);
  comm.ShowSetupDialog();  // no dialog set: nothing happens
  EXPECT_EQ(comm.GetDcb().BaudRate, 38400u);

  int calls = 0;
  comm.SetSetupDialog([&](uint8_t port, const std::string& path, Dcb& shown) {
    ++calls;
    EXPECT_EQ(port, 1);
    EXPECT_EQ(path, comm.DevicePath());
    EXPECT_EQ(shown.BaudRate, 38400u);
    EXPECT_EQ(shown.Flags, 0x11u);
    EXPECT_EQ(shown.ByteSize, 8);
    shown.BaudRate = 9600;
    return false;
  });
  comm.ShowSetupDialog();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(comm.GetDcb().BaudRate, 38400u);
}

// Records what the notification methods pass on.
struct WndProcFixture : CommFixture {
  std::vector<std::string> calls;
  void SetUp() override {
    comm.OnCommEvent = [this](TComm* sender, uint32_t events, uint32_t state) {
      EXPECT_EQ(sender, &comm);
      calls.push_back("event " + std::to_string(events) + " " + std::to_string(state));
    };
    comm.OnCharReceived = [this](TComm*, uint32_t cbInQue) {
      calls.push_back("char " + std::to_string(cbInQue));
    };
    comm.OnCommError = [this](TComm*, uint32_t errorCode) {
      calls.push_back("error " + std::to_string(errorCode));
    };
  }
};

using CommWndProc = WndProcFixture;

TEST_F(CommWndProc, DispatchesMarkedMessagesAndDropsTheRest) {
  struct Row {
    uint32_t message, wParam, lParam;
    const char* expected;  // nullptr: dropped
  };
  const std::vector<Row> rows = {
      {WM_COMMEVENT, 4, 0x30, "event 4 48"},
      {WM_COMMEVENT, 8, 0xFF, "event 8 255"},
      {WM_COMMCHAR, 3, 0xFF, "char 3"},
      {WM_COMMCHAR, 3, 0xFE, nullptr},
      {WM_COMMCHAR, 3, 0, nullptr},
      {WM_COMMERROR, 8, 0xFF, "error 8"},
      {WM_COMMERROR, 8, 0x1FF, nullptr},
      {WmUser, 1, 0xFF, nullptr},
      {0x1403, 1, 0xFF, nullptr},
  };
  for (const Row& row : rows) {
    calls.clear();
    comm.WndProc(row.message, row.wParam, row.lParam);
    if (row.expected) {
      ASSERT_EQ(calls.size(), 1u) << std::hex << row.message;
      EXPECT_EQ(calls[0], row.expected);
    } else {
      EXPECT_TRUE(calls.empty()) << std::hex << row.message << " " << row.lParam;
    }
  }
}

TEST_F(CommWndProc, QueueDeliversInPostedOrder) {
  target.Post(WM_COMMERROR, 2, 0xFF);
  target.Post(WM_COMMCHAR, 1, 0xFF);
  target.Post(WM_COMMEVENT, 4, 0);
  EXPECT_EQ(target.Pending(), 3u);
  while (target.PumpOne(comm, std::chrono::milliseconds(0))) {
  }
  EXPECT_EQ(target.Pending(), 0u);
  EXPECT_EQ(calls, (std::vector<std::string>{"error 2", "char 1", "event 4 0"}));
}

}  // namespace
