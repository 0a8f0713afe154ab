#pragma once

// Makes one of the calling thread's next nothrow allocations fail, as memory running out would.
// Only the nothrow forms are affected; everything else allocates as usual.

namespace zelk::testing {

enum class AllocationForm { kSingle, kArray };

// The (skip+1)-th next nothrow allocation of the form on this thread returns null.
void FailNothrowAllocation(AllocationForm form, int skip = 0);
// Cancels what was armed.
void AllowAllocations();

}  // namespace zelk::testing
