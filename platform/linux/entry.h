#pragma once
// Set once by the process entry before anything else runs; the argument vector stays valid for the process's life.
namespace os {
void set_args(int argc, char** argv);
}
