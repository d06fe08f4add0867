// Subcommands of the machine tool, each given the arguments after its own name.
#pragma once

int vssCommand(int argc, char **argv);
int countersCommand(int argc, char **argv);
