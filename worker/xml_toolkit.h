// Start and stop of the XML library for the workers of this process.
//
// The library's start and stop are counted across the process, and every
// worker starts it when built and stops it when destroyed, on request
// threads that run side by side. One process-wide lock is held around each
// start and each stop, so the two never run at the same time in two threads,
// and since every living worker holds one count, the library runs whenever
// a worker uses it. The task holds one start of its own from start-up to
// shutdown, so that a worker's start and stop only move the count: setting
// the library up and tearing it down costs about a millisecond each time.
#pragma once

namespace xml_toolkit {

// Starts the library (locale "en_US"). A failure is logged as
// "Halcyra: XML toolkit initialization error(<message>)" and gives false;
// the caller must then not stop it, since the count is not its own.
bool Start();

// Stops it once. A failure is logged as
// "Halcyra: XML toolkit terminate error(<message>)".
void Stop();

// The two library calls, replaceable by tests that need a start or a stop
// that fails. Returns the calls in use before.
struct Calls {
    void (*initialize)();
    void (*terminate)();
};
Calls ReplaceCallsForTest(const Calls &calls);

}  // namespace xml_toolkit
