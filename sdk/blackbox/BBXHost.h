#pragma once
// Host facts of the capture core: the page size, and the "host" section of
// the metadata file. Any thread.

#include <cstddef>

#include "sdk/beacon/HostFacts.h"

struct BBXFile;

// "hw.pagesize" of the host; 4096 (logged) when it cannot be read. Kept after
// the first call, so later calls only read a value.
size_t BBXHostGetPageSize();
// Reads the page size once, so the crash path never has to.
void BBXHostInitialize();
// Writes the "host" section: model, machine, cpu ("(failed)" for a fact the
// host does not give), OS build and display versions, platform "mac", locale.
bool BBXHostRecord(BBXFile* file, const beacon::HostFacts& host = beacon::HostFacts::system());
