// Linux discovery: tty devices that sit on real hardware (a parent device in
// sysfs; consoles and pseudo-terminals have none), named from the hardware
// database, then the COMn links of the link folder.
#include <libudev.h>
#include <string>
#include <system_error>
#include <vector>

#include "platform/comports.h"
#include "platform/debugoutput.h"
#include "platform/serialportlist.h"
#include "platform/serialports.h"

namespace platform {
namespace {

std::string Property(udev_device* device, const char* key) {
  const char* value = udev_device_get_property_value(device, key);
  return value != nullptr ? std::string(value) : std::string();
}

// The hardware database's answer for the nearest ancestor with a modalias,
// for devices the udev rules did not annotate.
std::string HwdbProperty(udev_hwdb* hwdb, udev_device* device, const char* key) {
  if (hwdb == nullptr) return {};
  for (udev_device* node = device; node != nullptr; node = udev_device_get_parent(node)) {
    const char* modalias = udev_device_get_sysattr_value(node, "modalias");
    if (modalias == nullptr) continue;
    udev_list_entry* entry = udev_hwdb_get_properties_list_entry(hwdb, modalias, 0);
    if (udev_list_entry* found = udev_list_entry_get_by_name(entry, key)) {
      const char* value = udev_list_entry_get_value(found);
      if (value != nullptr && *value != '\0') return value;
    }
  }
  return {};
}

std::vector<TSerialDeviceFacts> UdevSerialDevices() {
  std::vector<TSerialDeviceFacts> devices;
  udev* context = udev_new();
  if (context == nullptr) return devices;
  udev_hwdb* hwdb = udev_hwdb_new(context);
  udev_enumerate* enumerate = udev_enumerate_new(context);
  if (enumerate != nullptr && udev_enumerate_add_match_subsystem(enumerate, "tty") >= 0 &&
      udev_enumerate_scan_devices(enumerate) >= 0) {
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
      udev_device* device = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
      if (device == nullptr) continue;
      const char* node = udev_device_get_devnode(device);
      // A serial-core port reports its UART type; 0 means no UART answered
      // at that address, as for most of the 32 ttyS ports the kernel makes.
      const char* uartType = udev_device_get_sysattr_value(device, "type");
      const bool noUart = uartType != nullptr && std::string(uartType) == "0";
      if (node != nullptr && !noUart && udev_device_get_parent(device) != nullptr) {
        TSerialDeviceFacts facts;
        facts.devicePath = node;
        const char* sysName = udev_device_get_sysname(device);
        facts.sysName = sysName != nullptr ? sysName : "";
        facts.vendor = Property(device, "ID_VENDOR_FROM_DATABASE");
        if (facts.vendor.empty()) facts.vendor = HwdbProperty(hwdb, device, "ID_VENDOR_FROM_DATABASE");
        if (facts.vendor.empty()) facts.vendor = Property(device, "ID_VENDOR");
        facts.model = Property(device, "ID_MODEL_FROM_DATABASE");
        if (facts.model.empty()) facts.model = HwdbProperty(hwdb, device, "ID_MODEL_FROM_DATABASE");
        if (facts.model.empty()) facts.model = Property(device, "ID_MODEL");
        devices.push_back(std::move(facts));
      }
      udev_device_unref(device);
    }
  }
  if (enumerate != nullptr) udev_enumerate_unref(enumerate);
  if (hwdb != nullptr) udev_hwdb_unref(hwdb);
  udev_unref(context);
  return devices;
}

std::vector<TSerialLinkFacts> FolderLinks() {
  std::vector<TSerialLinkFacts> links;
  std::error_code error;
  const std::filesystem::path folder = ComLinkFolder();
  if (folder.empty()) return links;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    const std::optional<int> number = ParseComPortName(name);
    if (!number || "COM" + std::to_string(*number) != name) continue;  // "COM07", "com7": not ours
    if (!ComLinkTrusted(it->path())) continue;                         // another user's
    TSerialLinkFacts link;
    link.linkPath = it->path().string();
    link.number = *number;
    std::error_code linkError;
    if (it->is_symlink(linkError)) link.target = std::filesystem::read_symlink(it->path(), linkError).string();
    links.push_back(std::move(link));
  }
  return links;
}

}  // namespace

int EnumerateSerialPorts(TSerialPortInfo* table, int& count) {
  count = 0;
  if (table == nullptr) return 1;
  BuildSerialPortTable(UdevSerialDevices(), FolderLinks(), table, count);
  for (int i = 0; i < count; ++i) {
    DebugOutput(table[i].devicePath);
    DebugOutput("\n");
  }
  return 1;
}

}  // namespace platform
