// Named counters that the stand-in services keep about themselves (calls received, objects
// alive), so that tests and the machine tool can check how a program used them. They live in
// <root>/counters, shared by every process of the machine.
//
// File layout: a 16-byte header ("WSCOUNT1", slot count as 32 bits, 4 bytes zero), then slots
// of 64 bytes: the name in UTF-8, NUL-padded to 56 bytes, and the value as a little-endian
// 64-bit integer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace winsim {

// Adds delta to the named counter (made on first use) and returns the new value.
int64_t addToCounter(std::string_view name, int64_t delta = 1);

// The value of a counter; 0 when it was never used.
int64_t counterValue(std::string_view name);

// Every counter of the machine, in the order they were first used.
std::vector<std::pair<std::string, int64_t>> allCounters();

}  // namespace winsim
