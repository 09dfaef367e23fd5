// Whole blocks of complex samples from a file descriptor.
#pragma once

#include <complex>
#include <cstddef>

constexpr size_t block_size = 256;  // complex samples per block, 2048 bytes of input

// Reads whole blocks of complex samples from a file descriptor. A partial last block is
// dropped. After the end of input, or a read error, every later read returns false at once.
class BlockReader {
  public:
    explicit BlockReader(int fd) : fd_(fd) {}

    // Fills block with block_size samples, or returns false.
    bool read(std::complex<float>* block);

    // The errno of the read that failed, 0 if the input simply ended.
    int error() const { return error_; }

  private:
    int fd_;
    bool ended_ = false;
    int error_ = 0;
};
