#include "boardline.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "platform/comports.h"
#include "serialline.h"

using serialline::RetryOnEintr;

std::unique_ptr<TBoardLine> TBoardLine::Open(const TBoardOptions& options, std::string& error) {
  std::unique_ptr<TBoardLine> line(new TBoardLine);
  // The line's own pacing (--baud) is what limits the rate; the device
  // itself is set to the same rate where it has one.
  const int rate = options.baud > 0 ? options.baud : 115200;
  if (options.ptyNumber > 0) {
    if (!options.linkFolder.isEmpty()) platform::SetComLinkFolder(options.linkFolder.toStdString());
    line->fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (line->fd_ < 0 || ::grantpt(line->fd_) != 0 || ::unlockpt(line->fd_) != 0) {
      error = "cannot create a pseudo-terminal";
      return nullptr;
    }
    const char* slave = ::ptsname(line->fd_);
    if (slave == nullptr) {
      error = "no pseudo-terminal name";
      return nullptr;
    }
    line->slaveFd_ = RetryOnEintr([&] { return ::open(slave, O_RDWR | O_NOCTTY | O_NONBLOCK); });
    if (line->slaveFd_ < 0 || !serialline::MakeRaw(line->slaveFd_, rate)) {
      error = "cannot set the pseudo-terminal raw";
      return nullptr;
    }
    std::error_code ec;
    if (platform::ComLinkFolder().empty()) {
      error = "no folder for the port's link: set XDG_RUNTIME_DIR or BRELVO_COM_LINKS, or give --link-folder";
      return nullptr;
    }
    // The folder only this user may write into.
    std::filesystem::create_directories(platform::ComLinkFolder(), ec);
    std::filesystem::permissions(platform::ComLinkFolder(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, ec);
    const auto link = platform::ComLinkFolder() / ("COM" + std::to_string(options.ptyNumber));
    std::filesystem::remove(link, ec);
    std::filesystem::create_symlink(slave, link, ec);
    if (ec) {
      error = "cannot create the link " + link.string();
      return nullptr;
    }
    line->link_ = link;
    line->announcement_ = "COM" + std::to_string(options.ptyNumber) + " -> " + slave;
    return line;
  }
  const std::string path = options.device.toStdString();
  line->fd_ = RetryOnEintr([&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK); });
  if (line->fd_ < 0) {
    error = "cannot open " + path;
    return nullptr;
  }
  if (!serialline::MakeRaw(line->fd_, rate)) {
    error = "not a serial device: " + path;
    return nullptr;
  }
  return line;
}

TBoardLine::~TBoardLine() {
  if (!link_.empty()) {
    std::error_code ec;
    std::filesystem::remove(link_, ec);
  }
  if (slaveFd_ >= 0) ::close(slaveFd_);
  if (fd_ >= 0) ::close(fd_);
}
