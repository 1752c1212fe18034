// The process entry on Linux: keep the argument vector, make writes to a closed pipe or socket an error rather than
// a fatal signal, then hand over to the program's own start.
#include <signal.h>

#include "platform/linux/entry.h"

extern "C" [[noreturn]] void vimbrel_start();

int main(int argc, char** argv) {
  os::set_args(argc, argv);
  signal(SIGPIPE, SIG_IGN);
  vimbrel_start();
}
