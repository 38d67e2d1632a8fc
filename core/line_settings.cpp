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
