// Subcommands of the machine tool. Each is given the arguments after its own name; the table of
// commands and their usage lines is in winsim.cpp.
#pragma once

#include <windows.h>

int vssCommand(int argc, char **argv);
int countersCommand(int argc, char **argv);
int registryCommand(int argc, char **argv);
int eventLogCommand(int argc, char **argv);
int consoleEventCommand(int argc, char **argv);
int serviceCommand(int argc, char **argv);
int desktopCommand(int argc, char **argv);
int rasCommand(int argc, char **argv);
int efsCommand(int argc, char **argv);

// Prints the usage lines of one command (all commands for null) and returns the exit code 2.
int commandUsage(const char *command);

// Prints "winsim: <what>: <system text> (error <code>)" and returns the exit code 1.
int failed(const char *what, LONG error);

// failed() with the calling thread's last error.
int lastFailure(const char *what);
