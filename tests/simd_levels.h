// Runs a test once for every SIMD level that this CPU has and this build compiled.
#pragma once

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cstdint>
#include <string>

#include "signal/simd_target.h"

// Selects the level for the dispatched kernels before each test, and the normal choice again
// after it.
class SimdLevels : public ::testing::TestWithParam<int64_t> {
  protected:
    void SetUp() override {
        hwy::SetSupportedTargetsForTest(GetParam());
        ASSERT_EQ(simdTarget(), GetParam()) << "the level was not selected";
    }
    void TearDown() override { hwy::SetSupportedTargetsForTest(0); }
};

inline std::string simdLevelName(const ::testing::TestParamInfo<int64_t>& info) {
    return hwy::TargetName(info.param);
}

#define INSTANTIATE_SIMD_LEVELS(fixture)                                               \
    INSTANTIATE_TEST_SUITE_P(EveryLevel, fixture,                                      \
                             ::testing::ValuesIn(hwy::SupportedAndGeneratedTargets()), \
                             simdLevelName)
