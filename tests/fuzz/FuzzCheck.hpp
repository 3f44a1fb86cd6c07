// What the fuzz targets share: a check that stops the run with a message when a property of
// the code under test does not hold, so that libFuzzer keeps the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_REQUIRE(condition, ...)                                       \
    do {                                                                   \
        if (!(condition)) {                                                \
            std::fprintf(stderr, "property violated: %s\n  ", #condition); \
            std::fprintf(stderr, __VA_ARGS__);                             \
            std::fprintf(stderr, "\n");                                    \
            std::abort();                                                  \
        }                                                                  \
    } while (false)
