#include "failing_allocation.h"

#include <cstddef>
#include <new>

namespace zelk::testing {
namespace {

thread_local int singleCountdown = -1;
thread_local int arrayCountdown = -1;

bool ShouldFail(int& countdown) {
    if (countdown < 0)
        return false;
    return countdown-- == 0;
}

}  // namespace

void FailNothrowAllocation(AllocationForm form, int skip) {
    (form == AllocationForm::kSingle ? singleCountdown : arrayCountdown) = skip;
}

void AllowAllocations() {
    singleCountdown = -1;
    arrayCountdown = -1;
}

}  // namespace zelk::testing

// The replacements go through the ordinary forms, so the ordinary delete matches them.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (zelk::testing::ShouldFail(zelk::testing::singleCountdown))
        return nullptr;
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (zelk::testing::ShouldFail(zelk::testing::arrayCountdown))
        return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}
