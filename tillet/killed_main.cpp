// tillet-a-killed: tillet-a that kills itself at a chosen step, for the
// test that a rebuild killed anywhere in its commit leaves every pack and
// the executable all old or all new once the next run has looked
// (tillet/tillet_rebuild_test.cpp). Built with the tests, never installed.
//
//     tillet-a-killed <step> <SLUS_217.88 etc> [output.elf]
//
// The process ends on the spot, as a kill does, just before the <step>-th
// step by which the file layer changes the file system
// (common/platform/file_steps.h); the other arguments are tillet's.
#include <atomic>
#include <cstdlib>
#include <string>

#include "common/platform/file_steps.h"

#define main tillet_main
#include "tillet/main.cpp"
#undef main

namespace {

long kill_at = 0;
std::atomic<long> steps{0};

int count_step(const char*, const std::string&) {
    if (++steps == kill_at) {
        end_process_now();
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return EXIT_FAILED;
    }
    kill_at = std::strtol(argv[1], nullptr, 10);
    set_file_step_hook(count_step);
    argv[1] = argv[0];
    return tillet_main(argc - 1, argv + 1);
}
