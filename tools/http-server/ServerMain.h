#pragma once
// What the main function of a maker's server does around its HTTP server:
// its command line's numbers, its messages, the stop signals (SIGINT,
// SIGTERM, SIGHUP) taken by one waiting thread, and the connection limit
// fitted to the files the process may open.
#include <string>

// A mistake on the command line, said in Message.
struct EUsage {
  std::string Message;
};
// The value of option `name` as a whole number from lowest to highest;
// throws EUsage ("--port wants a number from 0 to 65535, not 'x'").
int OptionNumber(const std::string& name, const std::string& text, int lowest, int highest);
// Writes one line to standard error in one write.
void WriteErrorLine(const std::string& line);

// Blocks the stop signals in the calling thread, and so in every thread
// started after it, and ignores SIGPIPE. Call it first in main, before any
// thread exists.
void BlockStopSignals();
// Waits until a stop signal arrives and returns it.
int WaitForStopSignal();
// "SIGINT", "SIGTERM" or "SIGHUP".
const char* StopSignalName(int signal);

// Every connection takes a file descriptor: raises the soft limit to the
// hard one and returns maxConnections, or fewer when the process may not
// open that many files; then `tell` receives a line that says so.
int FitConnectionLimit(int maxConnections, const std::string& programName, void (*tell)(const std::string& line));
