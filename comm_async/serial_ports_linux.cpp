// Serial ports on Linux, from sysfs: every tty that a driver backs, with the
// USB adapter's names where it sits on USB.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "serial_ports_sysfs.h"

namespace fs = std::filesystem;

namespace {

std::string FirstLine(const fs::path& file) {
  std::string line;
  std::ifstream in(file);
  std::getline(in, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

// The kernel's own kind of serial core port: "type" 0 is a ttyS node without
// a UART behind it. Ports of other kinds have no such file.
bool HasUart(const fs::path& tty) {
  const fs::path type = tty / "type";
  std::error_code ec;
  if (!fs::exists(type, ec)) return true;
  return FirstLine(type) != "0";
}

// The driver nearest to the tty, skipping the serial core's own "port" and
// "ctrl" layers that newer kernels put between a UART and its driver.
std::string DriverOf(fs::path device) {
  std::error_code ec;
  for (int up = 0; up < 4 && !device.empty(); ++up) {
    const fs::path link = device / "driver";
    if (fs::is_symlink(link, ec)) {
      const std::string name = fs::read_symlink(link, ec).filename().string();
      if (name != "port" && name != "ctrl") return name;
    }
    device = device.parent_path();
  }
  return {};
}

// Sorting key that puts ttyS2 before ttyS10.
std::pair<std::string, long> NameKey(const std::string& path) {
  size_t digits = path.size();
  while (digits > 0 && std::isdigit(static_cast<unsigned char>(path[digits - 1]))) --digits;
  const long number = digits < path.size() ? std::stol(path.substr(digits)) : -1;
  return {path.substr(0, digits), number};
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPortsUnder(const std::string& sysClassTty,
                                                 const std::string& dev) {
  std::vector<SerialPortInfo> ports;
  std::error_code ec;
  std::error_code walk;
  for (fs::directory_iterator it(sysClassTty, walk), end; !walk && it != end; it.increment(walk)) {
    const fs::path tty = it->path();
    const std::string name = tty.filename().string();
    // Consoles, virtual terminals and pseudo-terminals have no device.
    if (!fs::exists(tty / "device", ec) || !HasUart(tty)) continue;
    SerialPortInfo info;
    info.Path = dev + "/" + name;
    if (!fs::exists(info.Path, ec)) continue;
    const fs::path device = fs::canonical(tty / "device", ec);
    if (ec) continue;
    info.Driver = DriverOf(device);
    // The USB device is the first parent that carries a vendor id.
    for (fs::path up = device; !up.empty() && up != up.root_path(); up = up.parent_path()) {
      if (fs::exists(up / "idVendor", ec)) {
        info.UsbId = FirstLine(up / "idVendor") + ":" + FirstLine(up / "idProduct");
        info.Maker = FirstLine(up / "manufacturer");
        info.Model = FirstLine(up / "product");
        info.SerialNumber = FirstLine(up / "serial");
        break;
      }
    }
    ports.push_back(std::move(info));
  }
  // The stable names are links to the nodes.
  for (fs::directory_iterator it(dev + "/serial/by-id", walk), end; !walk && it != end;
       it.increment(walk)) {
    const fs::path target = fs::canonical(it->path(), ec);
    if (ec) continue;
    for (SerialPortInfo& info : ports) {
      if (fs::equivalent(target, info.Path, ec)) info.ById = it->path().string();
    }
  }
  std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
    return NameKey(a.Path) < NameKey(b.Path);
  });
  return ports;
}

std::vector<SerialPortInfo> ListSerialPorts() {
  return ListSerialPortsUnder("/sys/class/tty", "/dev");
}
