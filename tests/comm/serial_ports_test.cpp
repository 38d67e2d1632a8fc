// The list of serial ports, read from a sysfs and /dev tree made by the test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "comm_async/serial_ports_sysfs.h"

namespace {

namespace fs = std::filesystem;

void Put(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text << "\n";
}

void Link(const fs::path& link, const fs::path& target) {
  fs::create_directories(link.parent_path());
  fs::create_directory_symlink(target, link);
}

TEST(ListSerialPorts, ReadsUsbNamesAndSkipsNodesWithoutAPort) {
  char tmpl[] = "/tmp/ports-XXXXXX";
  const fs::path root = mkdtemp(tmpl);
  const fs::path sys = root / "sys";
  const fs::path dev = root / "dev";
  const fs::path usb = sys / "devices/pci0/usb1/1-1";
  Put(usb / "idVendor", "0403");
  Put(usb / "idProduct", "6001");
  Put(usb / "manufacturer", "FTDI");
  Put(usb / "product", "FT232R USB UART");
  Put(usb / "serial", "A10K3X");
  Link(usb / "1-1:1.0/ttyUSB0/driver", sys / "bus/usb-serial/drivers/ftdi_sio");
  Link(sys / "class/tty/ttyUSB0/device", usb / "1-1:1.0/ttyUSB0");
  // Real UARTs and a node without one; serial core's own "port" layer.
  const fs::path uart = sys / "devices/platform/serial8250";
  Link(uart / "serial8250:0/serial8250:0.0/driver", sys / "bus/serial-base/drivers/port");
  Link(uart / "driver", sys / "bus/platform/drivers/serial8250");
  for (const char* name : {"ttyS0", "ttyS1", "ttyS10"}) {
    Link(sys / "class/tty" / name / "device", uart / "serial8250:0/serial8250:0.0");
    Put(sys / "class/tty" / name / "type", name == std::string("ttyS1") ? "0" : "4");
    Put(dev / name, "");
  }
  fs::create_directories(sys / "class/tty/tty0");  // a virtual terminal: no device
  Put(dev / "tty0", "");
  Link(sys / "class/tty/ttyACM0/device", usb / "1-1:1.0");  // its node is gone
  Put(dev / "ttyUSB0", "");
  fs::create_directories(dev / "serial/by-id");
  fs::create_symlink("../../ttyUSB0", dev / "serial/by-id/usb-FTDI_FT232R_A10K3X-if00-port0");

  const std::vector<SerialPortInfo> ports = ListSerialPortsUnder(sys / "class/tty", dev);
  ASSERT_EQ(ports.size(), 3u);
  EXPECT_EQ(ports[0].Path, dev / "ttyS0");
  EXPECT_EQ(ports[0].Driver, "serial8250");
  EXPECT_EQ(ports[0].UsbId, "");
  EXPECT_EQ(ports[1].Path, dev / "ttyS10");
  const SerialPortInfo& adapter = ports[2];
  EXPECT_EQ(adapter.Path, dev / "ttyUSB0");
  EXPECT_EQ(adapter.ById, dev / "serial/by-id/usb-FTDI_FT232R_A10K3X-if00-port0");
  EXPECT_EQ(adapter.Maker, "FTDI");
  EXPECT_EQ(adapter.Model, "FT232R USB UART");
  EXPECT_EQ(adapter.SerialNumber, "A10K3X");
  EXPECT_EQ(adapter.UsbId, "0403:6001");
  EXPECT_EQ(adapter.Driver, "ftdi_sio");
  fs::remove_all(root);
}

}  // namespace
