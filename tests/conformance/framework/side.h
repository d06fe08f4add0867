// What differs between the two sides that run the checks: how the run starts and ends, and how
// a check's directory is made (the stand-in implements only what the product calls, which does
// not include making directories).
#pragma once

#include "check.h"

namespace conformance::side {

// "stand-in" or "wine".
const char *name();

// Before the first check (not in helper mode); false stops the run.
bool start();
// After the last check.
void finish();

// Makes one directory whose parent exists; true when it exists afterwards.
bool makeDirectory(const WString &path);

}  // namespace conformance::side
