#include "signal/simd_target.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "signal/simd_target.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace iqenv {
namespace HWY_NAMESPACE {
int64_t CompiledTarget() {
    return HWY_TARGET;
}
}  // namespace HWY_NAMESPACE
}  // namespace iqenv
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace iqenv {
HWY_EXPORT(CompiledTarget);
}  // namespace iqenv

int64_t simdTarget() {
    using namespace iqenv;  // the per-target code and its table
    return HWY_DYNAMIC_DISPATCH(CompiledTarget)();
}

const char* simdTargetName() {
    return hwy::TargetName(simdTarget());
}
#endif  // HWY_ONCE
