// Windows discovery through the Setup API, in the order the device manager
// reports the ports, then the ports of SERIALCOMM that the Setup API did not
// report (virtual, Bluetooth and some RS-485 drivers; wine's COM links).
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <setupapi.h>
#include <string>
#include <vector>

#include "platform/debugoutput.h"
#include "platform/serialportlist.h"
#include "platform/serialports.h"

namespace platform {
namespace {

// GUID_DEVINTERFACE_SERENUM_BUS_ENUMERATOR, the same value as GUID_DEVCLASS_PORTS.
constexpr GUID kSerialPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

constexpr DWORD kFriendlyNameBufferSize = 256;

// The friendly name, at most 255 characters: a longer one is cut rather than
// lost, an unreadable one is empty.
std::string FriendlyName(HDEVINFO set, SP_DEVINFO_DATA& device) {
  DWORD required = 0;
  DWORD type = 0;
  SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, &type, nullptr, 0, &required);
  std::vector<BYTE> buffer(required > kFriendlyNameBufferSize ? required + 1 : kFriendlyNameBufferSize, 0);
  if (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, &type, buffer.data(),
                                         static_cast<DWORD>(buffer.size() - 1), nullptr)) {
    return {};
  }
  std::string name(reinterpret_cast<const char*>(buffer.data()));
  if (name.size() > kFriendlyNameBufferSize - 1) name.resize(kFriendlyNameBufferSize - 1);
  return name;
}

// The values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, in the registry's order.
std::vector<TSerialCommFacts> SerialCommPorts() {
  std::vector<TSerialCommFacts> ports;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return ports;
  for (DWORD i = 0; ports.size() < static_cast<std::size_t>(kMaxSerialPorts) * 2; ++i) {
    char name[256];
    BYTE data[256];
    DWORD nameSize = sizeof name;
    DWORD dataSize = sizeof data - 1;
    DWORD type = 0;
    const LONG result = RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &dataSize);
    if (result == ERROR_MORE_DATA) continue;  // no port name is that long
    if (result != ERROR_SUCCESS) break;
    if (type != REG_SZ) continue;
    data[dataSize] = 0;
    ports.push_back({std::string(name, nameSize), std::string(reinterpret_cast<const char*>(data))});
  }
  RegCloseKey(key);
  return ports;
}

void SetupApiPorts(TSerialPortInfo* table, int& count) {
  HDEVINFO list = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (list == INVALID_HANDLE_VALUE) return;
  HDEVINFO set =
      SetupDiGetClassDevsExA(&kSerialPortsClass, nullptr, nullptr,
                             DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE, list, nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) {
    SetupDiDestroyDeviceInfoList(list);
    return;
  }

  for (DWORD i = 0; count < kMaxSerialPorts; ++i) {
    // Record sizes are the structures' own: 28 and 5 on 32-bit Windows, 32
    // and 8 on 64-bit, where the system rejects the 32-bit values.
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kSerialPortsClass, i, &interfaceData)) break;

    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) required = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(LocalAlloc(LPTR, required));
    if (detail == nullptr) break;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(SP_DEVINFO_DATA);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, required, nullptr, &device)) {
      LocalFree(detail);
      break;
    }
    // The path ends within the allocation even if the system left no NUL.
    const std::size_t pathRoom = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    std::string path(detail->DevicePath, strnlen(detail->DevicePath, pathRoom));
    LocalFree(detail);
    DebugOutput(path);
    DebugOutput("\n");

    table[count].devicePath = std::move(path);
    table[count].friendlyName = FriendlyName(set, device);
    ++count;
  }

  SetupDiDestroyDeviceInfoList(set);
  if (set != list) SetupDiDestroyDeviceInfoList(list);
}

}  // namespace

int EnumerateSerialPorts(TSerialPortInfo* table, int& count) {
  count = 0;
  if (table == nullptr) return 1;
  SetupApiPorts(table, count);
  const int before = count;
  AppendSerialCommPorts(SerialCommPorts(), table, count);
  for (int i = before; i < count; ++i) {
    DebugOutput(table[i].devicePath);
    DebugOutput("\n");
  }
  return 1;
}

}  // namespace platform
