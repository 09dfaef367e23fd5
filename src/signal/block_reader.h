// Whole blocks of complex samples from a file descriptor.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

constexpr size_t block_size = 256;  // complex samples per block, 2048 bytes of input

// Reads whole blocks of complex samples from a file descriptor. Each read system call takes
// as much as the descriptor has ready, up to a few dozen blocks, but a block is handed out as
// soon as it is complete. A partial last block is dropped. After the end of input, or a read
// error, the blocks already complete are still handed out; then every later call returns
// null at once.
class BlockReader {
  public:
    explicit BlockReader(int fd);

    // The next block_size samples, valid until the next call, or null.
    const std::complex<float>* next();

    // The errno of the read that failed, 0 if the input simply ended.
    int error() const { return error_; }

  private:
    int fd_;
    bool ended_ = false;
    int error_ = 0;
    std::vector<std::complex<float>> buffer_;
    size_t start_ = 0;  // bytes handed out from the front of buffer_
    size_t end_ = 0;    // bytes read into buffer_
};
