// A child for the runner's tests: "spin" uses the processor until it is ended, "sleep" waits until it is ended,
// "reset <handle in hex>" resets the event of that handle value, when this process holds one there. Started with no
// word at all (as the real Task Manager is) it leaves "<its own path>.ran" behind, to tell that it ran.
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
  if (argc == 1) {
    char self[MAX_PATH + 8];
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 2;
    std::strcpy(self + n, ".ran");
    HANDLE h = CreateFileA(self, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 2;
    CloseHandle(h);
    return 0;
  }
  return 2;
}
