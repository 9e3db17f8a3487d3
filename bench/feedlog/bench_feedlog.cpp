// bench_feedlog: LogLastLine for feed lines of 1 KiB, 64 KiB and 1 MiB with
// "Лог обмена" ticked, through the console and the Qt window (shown,
// offscreen). The exchange thread waits in Synchronize for exactly this
// call; "with paint" adds the window's next paint, which the operator waits
// for as well.
//   QT_QPA_PLATFORM=offscreen bench_feedlog [lines per size]
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <time.h>
#include <vector>

#include "faces/qt/qtmainform.h"

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The call's own work, apart from the time the shared machine gives others.
double ThreadCpuMilliseconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  const int lines = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  TQtMainFormEnvironment environment;
  environment.console.libraryName = "brelvo-no-board.dll";
  environment.console.programFolder = std::filesystem::temp_directory_path();
  environment.console.webPort = 0;
  environment.trayAvailable = false;
  TQtMainForm form(std::move(environment));
  form.SetChecked(TControlId::cbScoreboardLog, true);
  form.show();
  QApplication::processEvents();

  std::printf("%-8s %6s %14s %14s %14s %20s\n", "line", "lines", "median ms", "max ms", "median cpu ms",
              "max ms with paint");
  for (const std::size_t size : {std::size_t{1024}, std::size_t{65536}, std::size_t{1048576}}) {
    // A "$A" record whose name field is the long part, as a broken feed sends.
    std::u16string line = u"$A,\"1\",\"1\",1001,\"";
    line.append(size - line.size() - 4, u'x');
    line += u"\"\r\n";
    std::vector<double> alone;
    std::vector<double> cpu;
    double withPaint = 0;
    for (int i = 0; i < lines; ++i) {
      const double cpuStart = ThreadCpuMilliseconds();
      const Clock::time_point start = Clock::now();
      form.Console().LogLastLine(line);
      const Clock::time_point logged = Clock::now();
      cpu.push_back(ThreadCpuMilliseconds() - cpuStart);
      QApplication::processEvents();
      form.repaint();
      alone.push_back(Milliseconds(logged - start));
      withPaint = std::max(withPaint, Milliseconds(Clock::now() - start));
    }
    std::sort(alone.begin(), alone.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf("%-8s %6d %14.3f %14.3f %14.3f %20.3f\n",
                size >= 1048576 ? "1 MiB" : (size >= 65536 ? "64 KiB" : "1 KiB"), lines, alone[alone.size() / 2],
                alone.back(), cpu[cpu.size() / 2], withPaint);
  }
  return 0;
}
