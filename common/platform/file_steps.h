// For tests only: a look at, and a hand in, each step by which the file
// layer changes the file system (common/platform/file_io.cpp). The suite's
// programs never set it; a test program does, to fail a step with an error
// of its choice, or to kill its own process between any two steps and see
// what the next run finds.
#pragma once

#include <string>

/// Called before each step, with its kind ("create", "link", "journal",
/// "aside", "rename", "restore", "remove") and the path it acts on (for a
/// rename, the target). Returns 0 to let the step happen, or an error
/// number that the step then fails with, without happening.
using FileStepHook = int (*)(const char* step, const std::string& path);

/// Sets the hook (nullptr: none). Not thread-safe: set it before the run.
void set_file_step_hook(FileStepHook hook);

/// Whether an interruption has come during the commit running now, which
/// the commit will see at its next step (for a test that interrupts a
/// commit from inside a step).
bool commit_interruption_noted();

/// Ends this process on the spot, as a kill (SIGKILL, or TerminateProcess
/// with status 77 on Windows) or a power cut would: no clean-up of any kind.
[[noreturn]] void end_process_now();
