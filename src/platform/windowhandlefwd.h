// TWindowHandle without the system headers, for code that only passes the
// handle on (the console's headers stay free of windows.h). The full
// definition is in windowhandle.h; both name the same type.
#pragma once

#ifdef _WIN32
struct HWND__;
typedef HWND__* TWindowHandle;
#else
struct TWindowTarget;
typedef TWindowTarget* TWindowHandle;
#endif
