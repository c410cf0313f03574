// Allocation failure on cue, for the test program and the plug-in it loaded
// alike: the program replaces the global operator new.
#pragma once

namespace qxtest {

/// The n-th allocation from now throws std::bad_alloc; 0 fails none.
void fail_allocation(long n);

}  // namespace qxtest
