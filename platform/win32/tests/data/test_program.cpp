// A program file built for the machine: its exit code tells the test how
// long its command line was, and that this code (not a linked copy) ran.
#include <cstring>

extern "C" __attribute__((visibility("default"))) int ProgramMain(const char* arguments, int show) {
    return 1000 + static_cast<int>(std::strlen(arguments)) * 10 + show;
}
