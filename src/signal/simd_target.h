// Which SIMD level the dispatched kernels run on.
#pragma once

#include <cstdint>

// The Highway target (one HWY_* bit) that dispatched calls use now.
int64_t simdTarget();

// Its name, e.g. "AVX2".
const char* simdTargetName();
