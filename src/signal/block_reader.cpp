#include "block_reader.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

bool BlockReader::read(std::complex<float>* block) {
    if (ended_) return false;
    char* bytes = reinterpret_cast<char*>(block);
    const size_t wanted = block_size * sizeof(std::complex<float>);
    size_t got = 0;
    while (got < wanted) {
        const ssize_t n = ::read(fd_, bytes + got, wanted - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A producer that left the pipe non-blocking: wait for it rather than quit.
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, -1);
        } else {
            error_ = errno;
            break;
        }
    }
    if (got < wanted) ended_ = true;
    return !ended_;
}
