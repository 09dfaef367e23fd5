#include "signal/envelope.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(EnvelopeDetector, MeansIncludeTheCurrentValueAndLeaveOutWhatIsNotFinite) {
    EnvelopeDetector e;
    EXPECT_EQ(e.next(1, 0), 0.0f);
    EXPECT_EQ(e.next(0, 3), 10000.0f);
    EXPECT_EQ(e.next(std::nanf(""), 1), 0.0f);
    EXPECT_EQ(e.next(INFINITY, 0), 0.0f);
    EXPECT_EQ(e.next(3e38f, 3e38f), 0.0f);  // overflows float: not finite either
    EXPECT_EQ(e.next(-2, 0), 0.0f);
    EXPECT_EQ(e.next(0, 0), -15000.0f);  // mean 6/4
    EXPECT_EQ(e.mean().count(), 4u);
}

// Values too small to change a double sum still count. Here the sixteen values' mean lies
// just above the midpoint between two floats: a plain double sum drops the tiny ones and
// lands on the midpoint, which rounds down; the compensated sum rounds up.
TEST(RunningMean, KeepsWhatAPlainDoubleSumDrops) {
    RunningMean mean;
    mean.add(16.0f);
    mean.add(16.0f + 0x1p-19f);                      // the next float
    for (int i = 0; i < 8; ++i) mean.add(0x1p-49f);  // a quarter of the sum's ulp each
    for (int i = 0; i < 6; ++i) mean.add(0.0f);
    EXPECT_EQ(mean.mean(), 2.0f + 0x1p-22f);  // 2 + 2^-23 + 2^-50, rounded
}
