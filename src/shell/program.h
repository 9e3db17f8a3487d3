// The program's life, the same on every system and in both faces, from the
// first line to the last: one copy per machine (a second hands over to it
// and ends), the library search restricted, the window made and FormCreate
// run, the listeners for a second copy and for the system's end request,
// the face's loop, and the one end. A face supplies only what its toolkit
// must do.
#pragma once

#include <chrono>
#include <string>

#include "shell/fMainForm.h"

namespace platform {
class GuiQueue;
}

class TProgramFace {
 public:
  virtual ~TProgramFace() = default;
  // Makes the application and the main window with the console over it,
  // in `environment`; not shown yet.
  virtual TmainForm& MakeWindow(TmainFormEnvironment environment) = 0;
  // The GUI thread as the platform's listeners reach it; null on Win32,
  // where they live on the GUI thread itself.
  virtual platform::GuiQueue* Queue() = 0;
  // Shows the window and runs the message loop until it ends.
  virtual void RunLoop() = 0;
  // Ends the loop.
  virtual void Quit() = 0;
  // An error that reached the program's entry, in the standard box.
  virtual void ShowError(const std::u16string& text) = 0;
};

struct TProgramOptions {
  const char* lockName = nullptr;  // null: the product's GUID
  // How long a second copy asks the first to show its window while the
  // first may be starting or ending: past a whole end (kEndThreadLimit and
  // the process's own going).
  std::chrono::milliseconds handOver{10000};
};

// Runs the whole program; ends the process (exit code 0 in every case)
// and never returns.
[[noreturn]] void RunProgram(TProgramFace& face, const TProgramOptions& options = {});

// The one end, from "Выход" (after the loop), a Windows session end or the
// system's end request: the second copy is no longer answered, the console's
// FormEnd runs, the process ends. Runs once when two race: a second caller on
// another thread waits for the process to end; one from inside the end
// itself (a message served while it waits) returns at once.
void EndProgram();

enum class THandOver {
  Answered,  // the running copy showed its window
  TookOver,  // it ended meanwhile; this copy holds the lock now
  NoAnswer,  // it held the lock but never answered within the limit
};

// A copy that found the lock held asks its holder to show the window until
// the holder answers or `limit` has passed.
THandOver HandOverToFirstCopy(const char* lockName, std::chrono::milliseconds limit);
