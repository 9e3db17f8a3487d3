#pragma once

#include <filesystem>

namespace platform {

// Folder of the running executable (GetModuleFileNameW, /proc/self/exe).
std::filesystem::path ProgramFolder();

}  // namespace platform
