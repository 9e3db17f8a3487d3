// Windows discovery through the Setup API, in the order the device manager
// reports the ports.
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <setupapi.h>
#include <string>
#include <vector>

#include "platform/debugoutput.h"
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

}  // namespace

int EnumerateSerialPorts(TSerialPortInfo* table, int& count) {
  count = 0;
  if (table == nullptr) return 1;
  HDEVINFO list = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (list == INVALID_HANDLE_VALUE) return 1;
  HDEVINFO set =
      SetupDiGetClassDevsExA(&kSerialPortsClass, nullptr, nullptr,
                             DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE, list, nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) {
    SetupDiDestroyDeviceInfoList(list);
    return 1;
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
  return 1;
}

}  // namespace platform
