// Replacing a small file in one step: the new content goes to a temporary
// file beside it, is flushed to the disk and renamed over the old one, so a
// crash or a full disk leaves either the old or the new file, never half.
#pragma once

#include <filesystem>
#include <string_view>

namespace platform {

// False, with the old file untouched and no temporary left, on any failure.
bool WriteFileAtomically(const std::filesystem::path& file, std::string_view content);

// The system's text line end: "\r\n" on Windows, "\n" elsewhere.
std::string_view TextLineEnd();

}  // namespace platform
