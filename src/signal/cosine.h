// cos(2*pi*x) for phases x given in cycles.
#pragma once

#include <cstddef>

// Evaluated in double with plain products and sums only, so that every target (and every
// vector width) gives the same bits. Exactly 1 at whole cycles, exactly 0 at quarter cycles
// and exactly -1 at half cycles.
float cosineOfCycles(double x);

// cosineOfCycles of each phase, one after the other.
void cosineOfCyclesScalar(const double* cycles, float* factors, size_t count);

// The same factors, bit for bit, computed several at a time with the widest SIMD level that
// the CPU has.
void cosineOfCycles(const double* cycles, float* factors, size_t count);
