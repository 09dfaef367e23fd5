// A failed property in a fuzz target: print it and abort, so libFuzzer saves the input.
#pragma once

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
