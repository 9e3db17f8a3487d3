// brelvo-pecheck: reads the Windows programs and libraries that go into the
// operators' zips and fails on what only a real Windows would refuse: an
// embedded manifest whose identity names another processor than the file's
// own (the side-by-side loader then refuses to start it), and an imported
// DLL that a stock Windows 10 does not have (a mingw runtime DLL left
// dynamic, say). Runs on the build machine, after the cross build.
//
//   brelvo-pecheck [--require-manifest] FILE...
// --require-manifest: the next file must carry a manifest.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// What every Windows 10 installation has in System32 (and SysWOW64). The
// universal C runtime's API sets are part of it.
constexpr std::array<std::string_view, 38> kStockDlls = {
    "advapi32.dll",   "bcrypt.dll",  "cfgmgr32.dll", "comctl32.dll", "comdlg32.dll", "crypt32.dll",  "dbghelp.dll",
    "dnsapi.dll",     "dwmapi.dll",  "gdi32.dll",    "gdiplus.dll",  "imm32.dll",    "iphlpapi.dll", "kernel32.dll",
    "kernelbase.dll", "msvcrt.dll",  "mswsock.dll",  "ntdll.dll",    "ole32.dll",    "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll",     "secur32.dll", "setupapi.dll", "shcore.dll",   "shell32.dll",  "shlwapi.dll",  "ucrtbase.dll",
    "user32.dll",     "userenv.dll", "uxtheme.dll",  "version.dll",  "winhttp.dll",  "wininet.dll",  "winmm.dll",
    "ws2_32.dll",     "wsock32.dll", "wtsapi32.dll",
};

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool IsStockDll(std::string_view name) {
  const std::string lower = Lower(name);
  if (lower.rfind("api-ms-win-crt-", 0) == 0 || lower.rfind("api-ms-win-core-", 0) == 0) return true;
  return std::find(kStockDlls.begin(), kStockDlls.end(), lower) != kStockDlls.end();
}

class TImage {
 public:
  explicit TImage(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

  std::optional<std::uint32_t> U32(std::size_t offset) const {
    if (offset > bytes_.size() || bytes_.size() - offset < 4) return std::nullopt;
    return static_cast<std::uint32_t>(bytes_[offset] | bytes_[offset + 1] << 8 | bytes_[offset + 2] << 16) |
           static_cast<std::uint32_t>(bytes_[offset + 3]) << 24;
  }
  std::optional<std::uint16_t> U16(std::size_t offset) const {
    if (offset > bytes_.size() || bytes_.size() - offset < 2) return std::nullopt;
    return static_cast<std::uint16_t>(bytes_[offset] | bytes_[offset + 1] << 8);
  }
  std::size_t Size() const { return bytes_.size(); }
  const std::uint8_t* Data() const { return bytes_.data(); }

  struct TSection {
    std::uint32_t rva, size, fileOffset, fileSize;
  };
  std::vector<TSection> sections;

  // The file offset of an address in the loaded image, if a section holds it.
  std::optional<std::size_t> Offset(std::uint32_t rva) const {
    for (const TSection& s : sections) {
      const std::uint32_t extent = std::max(s.size, s.fileSize);
      if (rva >= s.rva && rva - s.rva < extent) {
        if (rva - s.rva >= s.fileSize) return std::nullopt;
        return static_cast<std::size_t>(s.fileOffset) + (rva - s.rva);
      }
    }
    return std::nullopt;
  }
  std::optional<std::string> String(std::uint32_t rva) const {
    const auto offset = Offset(rva);
    if (!offset || *offset >= bytes_.size()) return std::nullopt;
    const auto* start = bytes_.data() + *offset;
    const auto* end = static_cast<const std::uint8_t*>(std::memchr(start, 0, bytes_.size() - *offset));
    if (end == nullptr) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(start), static_cast<std::size_t>(end - start));
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

struct TPeFacts {
  std::uint16_t machine = 0;
  std::vector<std::string> imports;
  std::vector<std::string> manifests;
  std::string error;  // empty when the file was read whole
};

constexpr std::uint32_t kManifestType = 24;  // RT_MANIFEST
constexpr std::uint32_t kSubdirectory = 0x80000000u;

// Every leaf under one resource directory entry (names, then languages).
void CollectLeaves(const TImage& image, std::size_t base, std::uint32_t directory, int depth,
                   std::vector<std::string>& out, std::string& error) {
  if (depth > 3) return;
  const auto named = image.U16(base + directory + 12);
  const auto ids = image.U16(base + directory + 14);
  if (!named || !ids) {
    error = "resource directory outside the file";
    return;
  }
  for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(*named) + *ids; ++i) {
    const auto target = image.U32(base + directory + 16 + i * 8 + 4);
    if (!target) {
      error = "resource entry outside the file";
      return;
    }
    if (*target & kSubdirectory) {
      CollectLeaves(image, base, *target & ~kSubdirectory, depth + 1, out, error);
      continue;
    }
    const auto dataRva = image.U32(base + *target);
    const auto dataSize = image.U32(base + *target + 4);
    const auto offset = dataRva ? image.Offset(*dataRva) : std::nullopt;
    if (!dataSize || !offset || *offset > image.Size() || image.Size() - *offset < *dataSize) {
      error = "manifest resource outside the file";
      return;
    }
    out.emplace_back(reinterpret_cast<const char*>(image.Data() + *offset), *dataSize);
  }
}

TPeFacts ReadPe(const std::string& path) {
  TPeFacts facts;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    facts.error = "cannot be read";
    return facts;
  }
  TImage image(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {}));
  const auto peOffset = image.U32(0x3C);
  if (image.U16(0) != 0x5A4D || !peOffset || image.U32(*peOffset) != 0x00004550u) {
    facts.error = "not a PE file";
    return facts;
  }
  const std::size_t header = *peOffset + 4;
  facts.machine = image.U16(header).value_or(0);
  const auto sectionCount = image.U16(header + 2);
  const auto optionalSize = image.U16(header + 16);
  const std::size_t optional = header + 20;
  const auto magic = image.U16(optional);
  if (!sectionCount || !optionalSize || (magic != 0x10B && magic != 0x20B)) {
    facts.error = "no optional header";
    return facts;
  }
  const std::size_t directories = optional + (magic == 0x20B ? 112 : 96);
  const std::uint32_t directoryCount = image.U32(directories - 4).value_or(0);
  const std::size_t sectionTable = optional + *optionalSize;
  for (std::size_t i = 0; i < *sectionCount; ++i) {
    const std::size_t s = sectionTable + i * 40;
    const auto size = image.U32(s + 8), rva = image.U32(s + 12), fileSize = image.U32(s + 16),
               fileOffset = image.U32(s + 20);
    if (!size || !rva || !fileSize || !fileOffset) {
      facts.error = "section table outside the file";
      return facts;
    }
    image.sections.push_back({*rva, *size, *fileOffset, *fileSize});
  }
  auto directory = [&](std::uint32_t index) -> std::uint32_t {
    return index < directoryCount ? image.U32(directories + index * 8).value_or(0) : 0;
  };

  // Imports: one 20-byte descriptor per DLL, ended by an empty one.
  if (const std::uint32_t imports = directory(1)) {
    const auto offset = image.Offset(imports);
    for (std::size_t d = 0; offset; ++d) {
      const auto nameRva = image.U32(*offset + d * 20 + 12);
      const auto thunk = image.U32(*offset + d * 20 + 16);
      if (!nameRva || !thunk) {
        facts.error = "import table outside the file";
        break;
      }
      if (*nameRva == 0 && *thunk == 0) break;
      const auto name = image.String(*nameRva);
      if (!name) {
        facts.error = "import name outside the file";
        break;
      }
      facts.imports.push_back(*name);
    }
  }
  // Delay-loaded DLLs must be there as well once called.
  if (const std::uint32_t delayed = directory(13)) {
    const auto offset = image.Offset(delayed);
    for (std::size_t d = 0; offset; ++d) {
      const auto nameRva = image.U32(*offset + d * 32 + 4);
      if (!nameRva || *nameRva == 0) break;
      if (const auto name = image.String(*nameRva)) facts.imports.push_back(*name);
    }
  }
  // Resources: the manifests are the leaves under type 24 of the root.
  if (const std::uint32_t resources = directory(2)) {
    const auto base = image.Offset(resources);
    const auto named = base ? image.U16(*base + 12) : std::nullopt;
    const auto ids = base ? image.U16(*base + 14) : std::nullopt;
    if (!named || !ids) {
      facts.error = "resource directory outside the file";
      return facts;
    }
    for (std::uint32_t i = *named; i < static_cast<std::uint32_t>(*named) + *ids; ++i) {
      const auto type = image.U32(*base + 16 + i * 8);
      const auto target = image.U32(*base + 16 + i * 8 + 4);
      if (!type || !target) break;
      if (*type == kManifestType && (*target & kSubdirectory))
        CollectLeaves(image, *base, *target & ~kSubdirectory, 1, facts.manifests, facts.error);
    }
  }
  return facts;
}

// processorArchitecture of the manifest's own identity: the first
// assemblyIdentity, the ones of its dependencies come after it.
std::optional<std::string> IdentityArchitecture(const std::string& manifest) {
  const std::size_t identity = manifest.find("<assemblyIdentity");
  if (identity == std::string::npos) return std::nullopt;
  const std::size_t end = manifest.find('>', identity);
  const std::string element = manifest.substr(identity, end == std::string::npos ? std::string::npos : end - identity);
  const std::size_t attribute = element.find("processorArchitecture");
  if (attribute == std::string::npos) return std::nullopt;
  const std::size_t open = element.find_first_of("\"'", attribute);
  if (open == std::string::npos) return std::nullopt;
  const std::size_t close = element.find(element[open], open + 1);
  if (close == std::string::npos) return std::nullopt;
  return Lower(element.substr(open + 1, close - open - 1));
}

std::string_view MachineArchitecture(std::uint16_t machine) {
  switch (machine) {
    case 0x014C:
      return "x86";
    case 0x8664:
      return "amd64";
    case 0xAA64:
      return "arm64";
    default:
      return "";
  }
}

bool Check(const std::string& path, bool requireManifest) {
  const TPeFacts facts = ReadPe(path);
  bool good = true;
  auto problem = [&](const std::string& text) {
    std::printf("%s: %s\n", path.c_str(), text.c_str());
    good = false;
  };
  if (!facts.error.empty()) {
    problem(facts.error);
    return false;
  }
  const std::string_view machine = MachineArchitecture(facts.machine);
  char machineText[16];
  std::snprintf(machineText, sizeof machineText, "0x%X", facts.machine);
  if (machine.empty()) problem(std::string("machine ") + machineText + " is neither x86 nor amd64");
  if (facts.manifests.empty() && requireManifest) problem("carries no manifest");
  for (const std::string& manifest : facts.manifests) {
    const auto architecture = IdentityArchitecture(manifest);
    if (!architecture) {
      problem("manifest without an identity's processorArchitecture");
    } else if (*architecture != machine) {
      problem("manifest says processorArchitecture=\"" + *architecture + "\", the file is " + std::string(machine) +
              " (" + machineText + ")");
    }
  }
  for (const std::string& dll : facts.imports)
    if (!IsStockDll(dll)) problem("imports " + dll + ", which a stock Windows 10 does not have");
  std::string summary;
  for (const std::string& dll : facts.imports) summary += (summary.empty() ? "" : ", ") + dll;
  std::printf("%s: %s, %zu manifest(s), imports %s%s\n", path.c_str(), std::string(machine).c_str(),
              facts.manifests.size(), summary.c_str(), good ? "" : " - FAILED");
  return good;
}

}  // namespace

int main(int argc, char** argv) {
  bool requireManifest = false;
  bool good = true;
  int files = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--require-manifest") {
      requireManifest = true;
      continue;
    }
    good = Check(argv[i], requireManifest) && good;
    requireManifest = false;
    ++files;
  }
  if (files == 0) {
    std::fprintf(stderr, "usage: brelvo-pecheck [--require-manifest] FILE...\n");
    return 2;
  }
  return good ? 0 : 1;
}
