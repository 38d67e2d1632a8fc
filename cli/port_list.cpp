#include "port_list.h"

#include <cstdio>
#include <string>

#include "comm_async/serial_ports.h"

int ListPorts() {
  const std::vector<SerialPortInfo> ports = ListSerialPorts();
  if (ports.empty()) {
    std::fprintf(stderr, "no serial devices found\n");
    return 0;
  }
  // One row per device under a header naming the columns, so that a reader
  // (and a script skipping the first line) knows which is which.
  const auto row = [](const char* device, const char* byId, const char* adapter) {
    std::printf("%-16s  %-40s  %s\n", device, byId, adapter);
  };
  row("DEVICE", "BY-ID", "ADAPTER");
  for (const SerialPortInfo& port : ports) {
    std::string adapter = port.Maker;
    if (!port.Model.empty()) adapter += (adapter.empty() ? "" : " ") + port.Model;
    if (!port.UsbId.empty()) {
      if (!adapter.empty()) adapter += ' ';
      adapter += "[" + port.UsbId + "]";
    }
    if (!port.SerialNumber.empty()) adapter += " serial " + port.SerialNumber;
    if (adapter.empty()) adapter = port.Driver;
    row(port.Path.c_str(), port.ById.empty() ? "-" : port.ById.c_str(), adapter.c_str());
  }
  return 0;
}
