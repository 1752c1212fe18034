// The process entry on Windows: no error boxes for a failed drive or a crash (a service mode must never wait on a
// dialog nobody sees), then the program's own start. The command line is read from the system when asked. The
// program is built as a desktop program, so the shell opens no console for the window; the console modes take the
// console or the handles they were started with when they first write (platform/windows/os.cpp).
#include <windows.h>

extern "C" [[noreturn]] void vimbrel_start();

int wmain() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  vimbrel_start();
}
