// Standard output for envelope values: each value leaves the process as soon as it is made.
#pragma once

#include <cstddef>

class OutputSink {
  public:
    explicit OutputSink(int fd) : fd_(fd) {}

    // Writes the 4 bytes of one value with a single write call, so a reader never waits on
    // a buffer and an interrupted run never leaves a partial value behind. Throws
    // std::runtime_error with the system's text when the write fails.
    void write(float value);

  private:
    int fd_;
};
