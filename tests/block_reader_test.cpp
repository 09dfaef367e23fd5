// The block reader takes large reads but hands out each block as soon as it is whole.
#include "signal/block_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <complex>
#include <cstring>
#include <thread>
#include <vector>

namespace {

struct Pipe {
    int fd[2];
    Pipe() { EXPECT_EQ(pipe(fd), 0); }
    ~Pipe() {
        if (fd[0] >= 0) close(fd[0]);
        closeWriter();
    }
    void closeWriter() {
        if (fd[1] >= 0) close(fd[1]);
        fd[1] = -1;
    }
    void write(const void* data, size_t n) {
        const char* p = static_cast<const char*>(data);
        while (n > 0) {
            const ssize_t done = ::write(fd[1], p, n);
            ASSERT_GT(done, 0);
            p += done;
            n -= static_cast<size_t>(done);
        }
    }
};

// Sample s of the stream is (s, -s).
std::vector<std::complex<float>> stream(size_t samples) {
    std::vector<std::complex<float>> v(samples);
    for (size_t s = 0; s < samples; ++s) v[s] = {float(s), -float(s)};
    return v;
}

TEST(ChunkedInput, ABlockIsHandedOutWithoutWaitingForMore) {
    Pipe p;
    const std::vector<std::complex<float>> data = stream(block_size);
    p.write(data.data(), block_size * sizeof data[0]);
    // The writer stays open: a reader that waited for a full chunk would never return.
    BlockReader reader(p.fd[0]);
    const std::complex<float>* block = reader.next();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::memcmp(block, data.data(), block_size * sizeof data[0]), 0);
}

// Many blocks, more than one buffer's worth, written in pieces that split samples and blocks
// at odd bytes; the partial block at the end is dropped, and the end is final.
TEST(ChunkedInput, BlocksArriveWholeAndInOrderWhateverThePieces) {
    constexpr size_t blocks = 100;
    constexpr size_t tail = 100;  // bytes of an incomplete last block
    const std::vector<std::complex<float>> data = stream(blocks * block_size + block_size);
    for (const size_t piece : {size_t{1}, size_t{777}, size_t{5000}, size_t{70001}}) {
        Pipe p;
        std::thread writer([&] {
            const char* bytes = reinterpret_cast<const char*>(data.data());
            const size_t total = blocks * block_size * sizeof data[0] + tail;
            for (size_t done = 0; done < total; done += piece)
                p.write(bytes + done, std::min(piece, total - done));
            p.closeWriter();
        });
        BlockReader reader(p.fd[0]);
        size_t got = 0;
        while (const std::complex<float>* block = reader.next()) {
            ASSERT_LT(got, blocks) << "pieces of " << piece;
            ASSERT_EQ(
                std::memcmp(block, data.data() + got * block_size, block_size * sizeof data[0]), 0)
                << "block " << got << ", pieces of " << piece;
            ++got;
        }
        writer.join();
        EXPECT_EQ(got, blocks) << "pieces of " << piece;
        EXPECT_EQ(reader.next(), nullptr);
        EXPECT_EQ(reader.next(), nullptr);  // the end is final
        EXPECT_EQ(reader.error(), 0);
    }
}

}  // namespace

TEST(BlockReader, AReadErrorEndsTheInputAndIsKept) {
    const int fd = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    BlockReader reader(fd);
    EXPECT_EQ(reader.next(), nullptr);
    EXPECT_EQ(reader.error(), EISDIR);
    EXPECT_EQ(reader.next(), nullptr);
    close(fd);
}
