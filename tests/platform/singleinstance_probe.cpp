// Tries the single-instance lock under the name given, as the program does:
// a copy that finds it held asks the holder to show its window. Reports
// through the exit code: 0 acquired, 1 held by another process that answered
// the request, 3 held but not answered, 2 bad use.
#include "platform/singleinstance.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  if (platform::AcquireSingleInstanceLock(argv[1])) return 0;
  return platform::RequestShowFromFirstCopy(argv[1]) ? 1 : 3;
}
