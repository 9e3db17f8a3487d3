#include "platform/serialportlist.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>

#include "platform/comports.h"

namespace platform {
namespace {

std::string WithPortText(std::string description, const std::string& portText) {
  const std::string suffix = " (" + portText + ")";
  if (suffix.size() >= kMaxFriendlyNameLength) return suffix.substr(0, kMaxFriendlyNameLength);
  const std::size_t room = kMaxFriendlyNameLength - suffix.size();
  if (description.size() > room) description.resize(room);
  while (!description.empty() && description.back() == ' ') description.pop_back();
  return description + suffix;
}

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const std::size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

// The number after the first "(COM" of a friendly name, as the port choice reads it.
std::optional<int> ComNumberOfName(const std::string& name) {
  const std::size_t at = name.find("(COM");
  if (at == std::string::npos) return std::nullopt;
  int number = 0;
  if (std::sscanf(name.c_str() + at, "(COM%d", &number) != 1) return std::nullopt;
  return number;
}

// "COM7" (any letter case) as 7; nothing for any other port name.
std::optional<int> ComNumberOfPort(const std::string& port) {
  if (port.size() < 4 || port.size() > 7) return std::nullopt;
  for (std::size_t i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(port[i])) != "COM"[i]) return std::nullopt;
  int number = 0;
  for (std::size_t i = 3; i < port.size(); ++i) {
    if (port[i] < '0' || port[i] > '9') return std::nullopt;
    number = number * 10 + (port[i] - '0');
  }
  if (number == 0) return std::nullopt;
  return number;
}

}  // namespace

void AppendSerialCommPorts(const std::vector<TSerialCommFacts>& ports, TSerialPortInfo* table, int& count) {
  for (const TSerialCommFacts& port : ports) {
    if (count >= kMaxSerialPorts) return;
    const auto number = ComNumberOfPort(port.portName);
    if (!number) continue;
    bool held = false;
    for (int i = 0; i < count && !held; ++i) held = ComNumberOfName(table[i].friendlyName) == number;
    if (held) continue;
    std::string device = port.deviceName.substr(port.deviceName.find_last_of('\\') + 1);
    device = Trimmed(SanitizeDeviceText(device));
    if (device.empty()) device = "Serial port";
    const std::string portText = "COM" + std::to_string(*number);
    table[count].devicePath = "\\\\.\\" + portText;
    table[count].friendlyName = WithPortText(device, portText);
    ++count;
  }
}

std::string SanitizeDeviceText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7F) {
      out.push_back(static_cast<char>(byte));
      ++i;
      continue;
    }
    out.push_back('?');
    ++i;
    // Skip the continuation bytes of a multi-byte sequence.
    if (byte >= 0xC0) {
      while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
    }
  }
  return out;
}

std::string SerialFriendlyName(const TSerialDeviceFacts& device, bool numberTakenByLink) {
  const std::string vendor = Trimmed(SanitizeDeviceText(device.vendor));
  const std::string model = Trimmed(SanitizeDeviceText(device.model));
  std::string description = vendor;
  if (!model.empty()) description += (description.empty() ? "" : " ") + model;
  const std::string sysName = SanitizeDeviceText(device.sysName);
  if (description.empty()) description = sysName;

  const std::optional<int> number = ComPortNumberOfDevice(device.devicePath);
  if (number && !numberTakenByLink) return WithPortText(description, "COM" + std::to_string(*number));
  if (sysName.empty()) return WithPortText(description, "?");
  return WithPortText(description, sysName);
}

std::string SerialLinkFriendlyName(const TSerialLinkFacts& link) {
  const std::string target = SanitizeDeviceText(link.target);
  const std::string description = target.empty() ? "Serial link" : "Serial link to " + target;
  return WithPortText(description, "COM" + std::to_string(link.number));
}

void BuildSerialPortTable(const std::vector<TSerialDeviceFacts>& devices, std::vector<TSerialLinkFacts> links,
                          TSerialPortInfo* table, int& count) {
  count = 0;
  std::sort(links.begin(), links.end(),
            [](const TSerialLinkFacts& a, const TSerialLinkFacts& b) { return a.number < b.number; });
  const auto takenByLink = [&](const TSerialDeviceFacts& device) {
    const std::optional<int> number = ComPortNumberOfDevice(device.devicePath);
    return number && std::any_of(links.begin(), links.end(),
                                 [&](const TSerialLinkFacts& link) { return link.number == *number; });
  };
  for (const TSerialDeviceFacts& device : devices) {
    if (count >= kMaxSerialPorts) return;
    table[count].devicePath = device.devicePath;
    table[count].friendlyName = SerialFriendlyName(device, takenByLink(device));
    ++count;
  }
  for (const TSerialLinkFacts& link : links) {
    if (count >= kMaxSerialPorts) return;
    table[count].devicePath = link.linkPath;
    table[count].friendlyName = SerialLinkFriendlyName(link);
    ++count;
  }
}

}  // namespace platform
