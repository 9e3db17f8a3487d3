// archive_crash_probe FOLDER: records the synthetic feed into FOLDER as
// fast as it goes, in receives that cut lines anywhere, until it is killed.
#include <chrono>
#include <thread>

#include "archive/feedarchive.h"
#include "archivesupport.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string feed = archivetest::SyntheticFeed(archivetest::kCrashFeedBytes);
  TFeedArchive archive(archivetest::InFolder(argv[1]));
  for (std::size_t at = 0; at + archivetest::kCrashReceiveBytes <= feed.size(); at += archivetest::kCrashReceiveBytes) {
    archive.FeedReceived(feed.data() + at, archivetest::kCrashReceiveBytes);
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return 3;  // the whole feed went by before the kill
}
