// Registers the program with the service control manager, and takes it out again.
#pragma once

#include "service_log.h"

// Prints one line: the service installed, or why not.
void install(const ServiceConfig &config);
// Stops the service when it runs (printing its progress), then deletes it.
void remove(const ServiceConfig &config);
