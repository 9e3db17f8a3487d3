// Loaded at run time by the DynamicLibrary tests.
#if defined(_WIN32)
#define TESTLIB_EXPORT extern "C" __declspec(dllexport)
#else
#define TESTLIB_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
int counter = 0;
}

TESTLIB_EXPORT int brelvoTestAdd(int a, int b) { return a + b; }

// State that survives between calls only while the library stays mapped.
TESTLIB_EXPORT int brelvoTestNext() { return ++counter; }
