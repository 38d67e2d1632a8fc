// The vocabulary of the serial component: the line-settings record, its
// enumerations, and the event, error and modem bits of the port.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

// Line settings, laid out as the device control block of the Win32 serial API
// (28 bytes), so that the settings dialog and a Win32 backend exchange it whole.
struct Dcb {
  uint32_t DCBlength;
  uint32_t BaudRate;
  uint32_t Flags;  // the flag word, bits below
  uint16_t wReserved;
  uint16_t XonLim;
  uint16_t XoffLim;
  uint8_t ByteSize;
  uint8_t Parity;
  uint8_t StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  uint16_t wReserved1;
};
static_assert(sizeof(Dcb) == 28, "Dcb must keep the 28-byte layout");

// Bits of Dcb::Flags.
constexpr uint32_t DcbBinary = 0x0001;            // fBinary
constexpr uint32_t DcbParity = 0x0002;            // fParity: parity checking on
constexpr uint32_t DcbOutxCtsFlow = 0x0004;       // output waits for CTS
constexpr uint32_t DcbOutxDsrFlow = 0x0008;       // output waits for DSR
constexpr uint32_t DcbDtrControlMask = 0x0030;    // fDtrControl, 2 bits
constexpr uint32_t DcbDtrControlEnable = 0x0010;  // DTR raised while open
constexpr uint32_t DcbDtrHandshake = 0x0020;      // DTR used for input flow control
constexpr uint32_t DcbDsrSensitivity = 0x0040;
constexpr uint32_t DcbTxContinueOnXoff = 0x0080;
constexpr uint32_t DcbOutX = 0x0100;  // XON/XOFF for output
constexpr uint32_t DcbInX = 0x0200;   // XON/XOFF for input
constexpr uint32_t DcbErrorChar = 0x0400;
constexpr uint32_t DcbNull = 0x0800;
constexpr uint32_t DcbRtsControlMask = 0x3000;    // fRtsControl, 2 bits
constexpr uint32_t DcbRtsControlEnable = 0x1000;  // RTS raised while open
constexpr uint32_t DcbRtsHandshake = 0x2000;      // RTS used for input flow control
constexpr uint32_t DcbAbortOnError = 0x4000;

// Dcb::Parity values.
constexpr uint8_t NoParity = 0;
constexpr uint8_t OddParity = 1;
constexpr uint8_t EvenParity = 2;
constexpr uint8_t MarkParity = 3;
constexpr uint8_t SpaceParity = 4;
// Dcb::StopBits values.
constexpr uint8_t OneStopBit = 0;
constexpr uint8_t One5StopBits = 1;
constexpr uint8_t TwoStopBits = 2;

enum TBaudRate : uint8_t {
  cbr110,
  cbr300,
  cbr600,
  cbr1200,
  cbr2400,
  cbr4800,
  cbr9600,
  cbr14400,
  cbr19200,
  cbr38400,
  cbr56000,
  cbr57600,
  cbr115200,
  cbr128000,
  cbr256000
};
// The rate of each TBaudRate, by ordinal: the rates the line offers.
inline constexpr std::array<uint32_t, 15> BitRates = {110,   300,   600,    1200,   2400,
                                                      4800,  9600,  14400,  19200,  38400,
                                                      56000, 57600, 115200, 128000, 256000};
// The TBaudRate of `rate`; nothing when the line does not offer it.
inline std::optional<TBaudRate> BaudRateOf(uint32_t rate) {
  for (size_t i = 0; i < BitRates.size(); ++i) {
    if (BitRates[i] == rate) return static_cast<TBaudRate>(i);
  }
  return std::nullopt;
}
enum TParity : uint8_t { cpNONE, cpODD, cpEVEN, cpMARK, cpSPACE };
enum TStopBits : uint8_t { csbONE, csbONE5, csbTWO };
enum TFlowControl : uint8_t { cfcNone, cfcHardware, cfcXonXoff };

// Elements of TEventMask, in bit order.
enum TEventMaskElement : uint8_t {
  cevBREAK,
  cevCTS,
  cevDSR,
  cevERR,
  cevRING,
  cevRLSD,
  cevRXCHAR,
  cevRXFLAG,
  cevTXEMPTY
};
// A set over TEventMaskElement: bit n stands for element n.
using TEventMask = uint16_t;
constexpr TEventMask EventMaskOf(TEventMaskElement e) {
  return static_cast<TEventMask>(1u << e);
}
constexpr TEventMask EventMaskAll = 0x1FF;

// Event bits of a port wait (the EV_ bits).
constexpr uint32_t EvRxChar = 0x0001;   // a character was received
constexpr uint32_t EvRxFlag = 0x0002;   // the event character was received
constexpr uint32_t EvTxEmpty = 0x0004;  // the output queue ran empty
constexpr uint32_t EvCts = 0x0008;
constexpr uint32_t EvDsr = 0x0010;
constexpr uint32_t EvRlsd = 0x0020;
constexpr uint32_t EvBreak = 0x0040;
constexpr uint32_t EvErr = 0x0080;  // a line error (CE_ flags) occurred
constexpr uint32_t EvRing = 0x0100;

// Line error flags (the CE_ bits).
constexpr uint32_t CeRxOver = 0x0001;
constexpr uint32_t CeOverrun = 0x0002;
constexpr uint32_t CeRxParity = 0x0004;
constexpr uint32_t CeFrame = 0x0008;
constexpr uint32_t CeBreak = 0x0010;
constexpr uint32_t CeIoe = 0x0400;  // the device failed: gone, hung up, unplugged

// Modem status bits (the MS_ bits).
constexpr uint32_t MsCtsOn = 0x0010;
constexpr uint32_t MsDsrOn = 0x0020;
constexpr uint32_t MsRingOn = 0x0040;
constexpr uint32_t MsRlsdOn = 0x0080;

// Messages by which the watcher hands a notification to the window thread.
constexpr uint32_t WmUser = 0x0400;
constexpr uint32_t WM_COMMEVENT = WmUser + 0x1000;  // 0x1400: WParam events, LParam modem status
constexpr uint32_t WM_COMMCHAR = WmUser + 0x1001;   // 0x1401: WParam cbInQue, LParam 0xFF
constexpr uint32_t WM_COMMERROR = WmUser + 0x1002;  // 0x1402: WParam error flags, LParam 0xFF
constexpr uint32_t CommMessageMarker = 0xFF;        // LParam of WM_COMMCHAR and WM_COMMERROR
