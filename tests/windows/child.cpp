// A child for the runner's tests: "spin" uses the processor until it is ended, "sleep" waits until it is ended,
// "reset <handle in hex>" resets the event of that handle value, when this process holds one there.
#include <windows.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "spin") == 0) {
    volatile unsigned long long n = 0;
    for (;;) n = n + 1;
  }
  if (argc >= 2 && std::strcmp(argv[1], "sleep") == 0) Sleep(INFINITE);
  if (argc >= 3 && std::strcmp(argv[1], "reset") == 0) {
    ResetEvent(reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(std::strtoull(argv[2], nullptr, 16))));
    return 0;
  }
  return 2;
}
