// Tries the single-instance lock under the name given and reports through
// the exit code: 0 acquired, 1 held by another process, 2 bad use.
#include "platform/singleinstance.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  return platform::AcquireSingleInstanceLock(argv[1]) ? 0 : 1;
}
