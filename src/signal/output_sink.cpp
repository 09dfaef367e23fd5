#include "output_sink.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>

void OutputSink::write(float value) {
    const char* bytes = reinterpret_cast<const char*>(&value);
    size_t left = sizeof value;
    while (left > 0) {
        const ssize_t n = ::write(fd_, bytes, left);
        if (n > 0) {
            bytes += n;
            left -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A consumer that made the shared pipe non-blocking: a full pipe is a slow
            // reader, not a failure, so wait for room as a blocking write would.
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, -1);
        } else {
            const int code = n < 0 ? errno : EIO;
            throw std::runtime_error(std::string("Cannot write to standard output: ") +
                                     std::strerror(code));
        }
    }
}
