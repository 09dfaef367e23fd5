#include "block_reader.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>

namespace {
constexpr size_t block_bytes = block_size * sizeof(std::complex<float>);
// As much as a pipe holds by default: one read takes everything a producer has written.
constexpr size_t buffer_blocks = 32;
}  // namespace

BlockReader::BlockReader(int fd) : fd_(fd), buffer_(buffer_blocks * block_size) {}

const std::complex<float>* BlockReader::next() {
    char* bytes = reinterpret_cast<char*>(buffer_.data());
    const size_t capacity = buffer_.size() * sizeof(std::complex<float>);
    while (end_ - start_ < block_bytes && !ended_) {
        if (start_ > 0) {  // keep the partial block, at the front so blocks stay aligned
            std::memmove(bytes, bytes + start_, end_ - start_);
            end_ -= start_;
            start_ = 0;
        }
        const ssize_t n = ::read(fd_, bytes + end_, capacity - end_);
        if (n > 0) {
            end_ += static_cast<size_t>(n);
        } else if (n == 0) {
            ended_ = true;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A producer that left the pipe non-blocking: wait for it rather than quit.
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, -1);
        } else {
            error_ = errno;
            ended_ = true;
        }
    }
    if (end_ - start_ < block_bytes) return nullptr;
    const std::complex<float>* block = reinterpret_cast<const std::complex<float>*>(bytes + start_);
    start_ += block_bytes;
    return block;
}
