#include <grp.h>
#include <sys/stat.h>

#include "port_advice.h"

std::string DeviceGroup(const std::string& device) {
  struct stat info {};
  if (::stat(device.c_str(), &info) == 0) {
    if (const group* g = ::getgrgid(info.st_gid); g != nullptr && g->gr_name != nullptr) {
      const std::string name = g->gr_name;
      if (name != "root") return name;
    }
  }
  return "dialout";
}
