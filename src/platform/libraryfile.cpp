#include <array>
#include <cstring>
#include <fstream>
#include <system_error>

#include "platform/dynamiclibrary.h"

namespace platform {
namespace {

// Reads `size` bytes at `offset`; false when the file is shorter.
bool ReadAt(std::ifstream& file, std::uint32_t offset, void* out, std::size_t size) {
  file.seekg(offset);
  file.read(static_cast<char*>(out), static_cast<std::streamsize>(size));
  return static_cast<std::size_t>(file.gcount()) == size;
}

std::uint16_t Little16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Little32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool Exists(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

}  // namespace

TLibraryFileKind ReadPeLibraryKind(const std::filesystem::path& path) {
  if (!Exists(path)) return TLibraryFileKind::lkAbsent;
  std::ifstream file(path, std::ios::binary);
  std::array<std::uint8_t, 64> dos{};
  if (!file || !ReadAt(file, 0, dos.data(), dos.size()) || dos[0] != 'M' || dos[1] != 'Z')
    return TLibraryFileKind::lkNotLibrary;
  // The PE signature, then the file header: machine, ..., characteristics.
  std::array<std::uint8_t, 24> pe{};
  if (!ReadAt(file, Little32(&dos[0x3C]), pe.data(), pe.size()) || std::memcmp(pe.data(), "PE\0\0", 4) != 0)
    return TLibraryFileKind::lkNotLibrary;
  constexpr std::uint16_t kImageFileDll = 0x2000;
  if ((Little16(&pe[22]) & kImageFileDll) == 0) return TLibraryFileKind::lkNotLibrary;  // a program, say
  switch (Little16(&pe[4])) {
    case 0x014C:
      return TLibraryFileKind::lkLibrary32;
    case 0x8664:
      return TLibraryFileKind::lkLibrary64;
    default:
      return TLibraryFileKind::lkNotLibrary;  // another processor altogether
  }
}

TLibraryFileKind ReadElfLibraryKind(const std::filesystem::path& path) {
  if (!Exists(path)) return TLibraryFileKind::lkAbsent;
  std::ifstream file(path, std::ios::binary);
  std::array<std::uint8_t, 18> elf{};
  if (!file || !ReadAt(file, 0, elf.data(), elf.size()) ||
      std::memcmp(elf.data(),
                  "\x7f"
                  "ELF",
                  4) != 0)
    return TLibraryFileKind::lkNotLibrary;
  constexpr std::uint16_t kSharedObject = 3;  // e_type ET_DYN, little-endian
  if (elf[5] != 1 || Little16(&elf[16]) != kSharedObject) return TLibraryFileKind::lkNotLibrary;
  switch (elf[4]) {
    case 1:
      return TLibraryFileKind::lkLibrary32;
    case 2:
      return TLibraryFileKind::lkLibrary64;
    default:
      return TLibraryFileKind::lkNotLibrary;
  }
}

TLibraryFileKind ReadLibraryFileKind(const std::filesystem::path& path) {
  return kWindowsLibraries ? ReadPeLibraryKind(path) : ReadElfLibraryKind(path);
}

}  // namespace platform
