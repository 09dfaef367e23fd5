// Shared by the fuzz targets: a failed property prints and aborts, so libFuzzer saves the
// input; a check runs once at every SIMD level.
#pragma once

#include <hwy/targets.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, ...)                               \
    do {                                                         \
        if (!(condition)) {                                      \
            std::fprintf(stderr, "%s:%d: ", __FILE__, __LINE__); \
            std::fprintf(stderr, __VA_ARGS__);                   \
            std::fprintf(stderr, "\n");                          \
            std::abort();                                        \
        }                                                        \
    } while (0)

// Runs a check once for every SIMD level that this CPU has and this build compiled, so that
// an input reaches each dispatched kernel and not only the one this machine would pick.
template <typename Check>
void forEachSimdLevel(Check check) {
    for (const int64_t level : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(level);
        check(level);
    }
    hwy::SetSupportedTargetsForTest(0);  // the normal choice again
}
