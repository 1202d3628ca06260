#pragma once
// The program's shut-down. Units that hold state register a shut-down step
// when they start; the steps run once, in reverse order of registration,
// either at the normal end of the program block (RunShutdown) or from Halt,
// which ends the process at once.
#include <functional>

void AddShutdownProc(std::function<void()> proc);
// Runs the registered steps, last registered first; a second call does nothing.
void RunShutdown();
// Runs the shut-down, then ends the process with `exitCode`.
[[noreturn]] void Halt(int exitCode);
