// Asks the running proxy's window something every 10 ms from outside, as
// the operator's clicks would, and presses its function keys on a schedule:
//   brelvo-window-probe <seconds> [key@second ...]      e.g. F4@12 F1@18
//   brelvo-window-probe gone                            waits until no window is left
// Prints when the window appeared (from the probe's start), every key
// press as "key <name> <wall ms>", and the window's answers: how many asks,
// the longest wait and how many waited longer than 100 ms. Windows only;
// run beside the proxy in the same (wine) session.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

long long WallMs() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const long long ticks = (static_cast<long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return ticks / 10000 - 11644473600000LL;
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency) {
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct TKeyPress {
  WPARAM key = 0;
  std::string name;
  double at = 0;  // seconds after the window appeared
  bool done = false;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: brelvo-window-probe <seconds> [F1..F4@second ...]\n");
    return 2;
  }
  if (std::strcmp(argv[1], "gone") == 0) {
    // Until the last copy's window has gone: a copy still ending holds the
    // single-instance lock, and the next start would wait for it.
    for (int i = 0; i < 3000 && FindWindowW(L"TmainForm", L"Brelvo Proxy") != nullptr; ++i) Sleep(10);
    return FindWindowW(L"TmainForm", L"Brelvo Proxy") == nullptr ? 0 : 1;
  }
  const double seconds = std::atof(argv[1]);
  std::vector<TKeyPress> keys;
  for (int i = 2; i < argc; ++i) {
    const char* at = std::strchr(argv[i], '@');
    if (argv[i][0] != 'F' || at == nullptr) continue;
    const int number = std::atoi(argv[i] + 1);
    if (number < 1 || number > 4) continue;
    TKeyPress key;
    key.key = static_cast<WPARAM>(VK_F1 + number - 1);
    key.name.assign(argv[i], static_cast<std::size_t>(at - argv[i]));
    key.at = std::atof(at + 1);
    keys.push_back(key);
  }

  LARGE_INTEGER frequency, start, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  HWND window = nullptr;
  // The caption is set once the console's start has run.
  while ((window = FindWindowW(L"TmainForm", L"Brelvo Proxy")) == nullptr || !IsWindowVisible(window)) {
    QueryPerformanceCounter(&now);
    if (Seconds(start, now, frequency) > 120) {
      std::printf("window never appeared\n");
      return 1;
    }
    Sleep(10);
  }
  QueryPerformanceCounter(&now);
  std::printf("window appeared after %.2f s (wall %lld)\n", Seconds(start, now, frequency), WallMs());
  std::fflush(stdout);

  const LARGE_INTEGER shown = now;
  long asks = 0, late = 0, unanswered = 0;
  double longest = 0, longestAt = 0;
  for (;;) {
    QueryPerformanceCounter(&now);
    const double elapsed = Seconds(shown, now, frequency);
    if (elapsed >= seconds) break;
    for (TKeyPress& key : keys) {
      if (key.done || elapsed < key.at) continue;
      key.done = true;
      // Posted as the keyboard would: the window's loop sees the key first.
      std::printf("key %s %lld\n", key.name.c_str(), WallMs());
      std::fflush(stdout);
      PostMessageW(window, WM_KEYDOWN, key.key, 1);
      PostMessageW(window, WM_KEYUP, key.key, static_cast<LPARAM>(0xC0000001u));
    }
    LARGE_INTEGER before, after;
    DWORD_PTR result = 0;
    QueryPerformanceCounter(&before);
    const LRESULT answered = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &result);
    QueryPerformanceCounter(&after);
    const double wait = Seconds(before, after, frequency);
    ++asks;
    if (answered == 0) ++unanswered;
    if (wait > 0.1) ++late;
    if (wait > longest) {
      longest = wait;
      longestAt = Seconds(shown, before, frequency);
    }
    Sleep(10);
  }
  std::printf("asks %ld, longest wait %.0f ms (at %.1f s), over 100 ms %ld, unanswered %ld\n", asks, longest * 1000,
              longestAt, late, unanswered);
  return 0;
}
