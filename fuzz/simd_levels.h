// Runs a check once for every SIMD level that this CPU has and this build compiled, so that
// a fuzz input reaches each dispatched kernel and not only the one this machine would pick.
#pragma once

#include <hwy/targets.h>

#include <cstdint>

template <typename Check>
void forEachSimdLevel(Check check) {
    for (const int64_t level : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(level);
        check(level);
    }
    hwy::SetSupportedTargetsForTest(0);  // the normal choice again
}
