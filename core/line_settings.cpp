#include "line_settings.h"

void LoadComm1Configuration(TComm& comm) {
  comm.SetPort(1);
  comm.SetBaudRate(cbr38400);
  comm.SetByteSize(8);
  comm.SetParity(cpNONE);
  comm.SetStopBits(csbONE);
  comm.SetFlowControl(cfcNone);
  comm.SetXonChar(0);
  comm.SetXoffChar(0);
  comm.SetErrorChar(0);
  comm.SetEofChar(0);
  comm.SetEvtChar(0);
  comm.SetXOnLimit(0);
  comm.SetXOffLimit(0);
  comm.SetInBufSize(2048);
  comm.SetOutBufSize(2048);
  comm.SetEventMask(EventMaskAll);
}

std::string DescribeLine(const Dcb& dcb, TFlowControl flow) {
  static constexpr char ParityLetters[] = "NOEMS";
  const char parity = dcb.Parity < 5 ? ParityLetters[dcb.Parity] : '?';
  const char* stop = dcb.StopBits == One5StopBits ? "1.5" : dcb.StopBits == TwoStopBits ? "2" : "1";
  const char* flowText = flow == cfcHardware  ? "RTS/CTS flow control"
                         : flow == cfcXonXoff ? "XON/XOFF flow control"
                                              : "no flow control";
  return std::to_string(dcb.BaudRate) + " bit/s, " + std::to_string(dcb.ByteSize) + parity + stop +
         ", " + flowText;
}
