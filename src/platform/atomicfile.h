// Replacing a small file in one step: the new content goes to a temporary
// file beside it, is flushed to the disk and renamed over the old one, so a
// crash or a full disk leaves either the old or the new file, never half.
#pragma once

#include <filesystem>
#include <string_view>

namespace platform {

// False, with the old file untouched and no temporary left, on any failure.
// The temporary file has a name of its own for every call and is created
// only where nothing stands yet, so a link left in its place is never
// followed. The new file keeps the old one's permissions.
bool WriteFileAtomically(const std::filesystem::path& file, std::string_view content);

// True when the file exists and its owner made it read-only (the read-only
// attribute on Windows; no write permission at all elsewhere, or none for
// this process): such a file is the operator's choice not to replace it.
bool FileIsReadOnly(const std::filesystem::path& file);

// The system's text line end: "\r\n" on Windows, "\n" elsewhere.
std::string_view TextLineEnd();

}  // namespace platform
