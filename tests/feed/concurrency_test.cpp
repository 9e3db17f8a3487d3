// The exchange thread writes the table while the window's thread reads row
// counts and cell texts. Run under the thread sanitizer (tsan preset).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "feed/timingfeedparser.h"
#include "standings/celltext.h"
#include "standings/competitors.h"

namespace {

TEST(TableConcurrency, WriterAndReaderNeverSeeATornRecord) {
  ProcessFeedLine("$I,\"00:00:00\",\"0/0/0000\"\n");
  std::atomic<bool> done{false};
  std::atomic<long> reads{0};

  std::thread reader([&] {
    while (!done.load()) {
      for (std::int32_t mode : {smBestLap, smRace, smPractice}) {
        const std::int32_t rows = GetRowCount(mode);
        for (std::int32_t row = 0; row < rows && row < 40; ++row) {
          const std::u16string name = GetCellText(row, rcName, mode);
          // Names are written whole under the lock: either the initial "0",
          // or "Kart" followed by digits.
          if (!name.empty() && name != u"0") {
            ASSERT_EQ(name.substr(0, 4), u"Kart") << "torn name";
          }
          (void)GetCellText(row, rcGap, mode);
          (void)GetCellText(row, rcNumber, mode);
        }
      }
      reads.fetch_add(1);
    }
  });

  // The writer starts once the reader runs: an optimised writer can finish
  // before a new thread is scheduled (seen under wine), which tests nothing.
  while (reads.load() == 0) std::this_thread::yield();
  char line[128];
  for (int lap = 1; lap <= 150; ++lap) {
    if (lap % 50 == 0) ProcessFeedLine("$I,\"00:00:00\",\"0/0/0000\"\n");
    for (int kart = 1; kart <= 30; ++kart) {
      std::snprintf(line, sizeof line, "$A,\"%d\",\"%d\",1,\"Kart%d\",\"\"\r\n", kart, kart, kart * 1111);
      ProcessFeedLine(line);
      std::snprintf(line, sizeof line, "$J,\"%d\",\"00:00:%02d.%03d\",\"00:%02d:00.000\"\r\n", kart, 30 + kart % 20,
                    kart, lap % 60);
      ProcessFeedLine(line);
      SortCompetitors(smRace);
      std::snprintf(line, sizeof line, "$G,%d,\"%d\",%d,\"00:%02d:%02d.000\"\r\n", kart, kart, lap, lap % 60, kart);
      ProcessFeedLine(line);
      SortCompetitors(smRace);
      std::snprintf(line, sizeof line, "$H,%d,\"%d\",%d,\"00:00:%02d.000\"\r\n", kart, kart, lap, 30 + kart);
      ProcessFeedLine(line);
      SortCompetitors(smBestLap);
    }
  }
  done.store(true);
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(GetCompetitorCount(), 30);
}

}  // namespace
