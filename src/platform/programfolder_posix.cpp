#include <system_error>

#include "platform/programfolder.h"

namespace platform {

std::filesystem::path ProgramFolder() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error && exe.has_parent_path()) return exe.parent_path();
  // Without /proc the settings land in the working folder rather than nowhere.
  const std::filesystem::path current = std::filesystem::current_path(error);
  return error ? std::filesystem::path(".") : current;
}

}  // namespace platform
