// Serial ports on Windows: the ports the drivers announce in the registry
// (HARDWARE\DEVICEMAP\SERIALCOMM), with maker, model and USB ids from the
// device manager's records where it has them.
#include <windows.h>
// After windows.h.
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cwctype>

#include "serial_ports.h"
#include "platform/win32_text.h"

namespace {

std::wstring RegistryText(HKEY key, const wchar_t* name) {
  wchar_t value[256] = {};
  DWORD size = sizeof value - sizeof(wchar_t);
  DWORD type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return {};
  }
  return value;
}

std::wstring DeviceProperty(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
  wchar_t value[512] = {};
  if (!SetupDiGetDeviceRegistryPropertyW(devices, &device, property, nullptr,
                                         reinterpret_cast<BYTE*>(value),
                                         sizeof value - sizeof(wchar_t), nullptr)) {
    return {};
  }
  return value;
}

// "USB\VID_0403&PID_6001\A10K3X": the ids, and the serial number when the
// last part is the adapter's own (the system makes up one with '&' in it).
void TakeUsbInstance(const std::wstring& instance, SerialPortInfo& info) {
  const auto vid = instance.find(L"VID_");
  const auto pid = instance.find(L"PID_");
  if (instance.rfind(L"USB\\", 0) != 0 || vid == std::wstring::npos || pid == std::wstring::npos)
    return;
  std::wstring id = instance.substr(vid + 4, 4) + L":" + instance.substr(pid + 4, 4);
  std::transform(id.begin(), id.end(), id.begin(), [](wchar_t c) { return std::towlower(c); });
  info.UsbId = Utf8FromWide(id);
  const std::wstring last = instance.substr(instance.find_last_of(L'\\') + 1);
  if (last.find(L'&') == std::wstring::npos) info.SerialNumber = Utf8FromWide(last);
}

// Maker, model and USB ids from the device manager's records of ports.
void AddDeviceDetails(std::vector<SerialPortInfo>& ports) {
  const HDEVINFO devices =
      SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
    const HKEY key =
        SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    const std::string name = Utf8FromWide(RegistryText(key, L"PortName"));
    RegCloseKey(key);
    for (SerialPortInfo& info : ports) {
      if (info.Path != name) continue;
      info.Maker = Utf8FromWide(DeviceProperty(devices, device, SPDRP_MFG));
      info.Model = Utf8FromWide(DeviceProperty(devices, device, SPDRP_FRIENDLYNAME));
      wchar_t instance[512] = {};
      if (SetupDiGetDeviceInstanceIdW(devices, &device, instance, 511, nullptr))
        TakeUsbInstance(instance, info);
    }
  }
  SetupDiDestroyDeviceInfoList(devices);
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts() {
  std::vector<SerialPortInfo> ports;
  HKEY map = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &map) !=
      ERROR_SUCCESS) {
    return ports;
  }
  for (DWORD i = 0;; ++i) {
    wchar_t driver[256] = {};
    wchar_t port[256] = {};
    DWORD driverLength = 255;
    DWORD portSize = sizeof port - sizeof(wchar_t);
    DWORD type = 0;
    const LONG rc = RegEnumValueW(map, i, driver, &driverLength, nullptr, &type,
                                  reinterpret_cast<BYTE*>(port), &portSize);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
    SerialPortInfo info;
    info.Path = Utf8FromWide(port);
    info.Driver = Utf8FromWide(driver);  // \Device\Serial0, \Device\VCP0, ...
    ports.push_back(std::move(info));
  }
  RegCloseKey(map);
  AddDeviceDetails(ports);
  // COM2 before COM10.
  std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
    return a.Path.size() != b.Path.size() ? a.Path.size() < b.Path.size() : a.Path < b.Path;
  });
  return ports;
}
