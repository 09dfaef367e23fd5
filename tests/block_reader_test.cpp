#include "signal/block_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

namespace {

struct Pipe {
    int fd[2];
    Pipe() { EXPECT_EQ(pipe(fd), 0); }
    ~Pipe() {
        close(fd[0]);
        if (fd[1] >= 0) close(fd[1]);
    }
};

}  // namespace

TEST(BlockReader, DeliversWholeBlocksFromDribblesAndDropsTheRest) {
    Pipe p;
    const size_t total = 2 * 2048 + 100;
    std::vector<unsigned char> bytes(total);
    for (size_t i = 0; i < total; ++i) bytes[i] = static_cast<unsigned char>(i * 7);
    std::thread writer([&] {
        // Pieces that straddle block boundaries, as a slow producer would send them.
        for (size_t at = 0, piece = 1; at < total; at += piece, piece = piece * 5 % 1500 + 1)
            ASSERT_GT(write(p.fd[1], bytes.data() + at, std::min(piece, total - at)), 0);
        close(p.fd[1]);
        p.fd[1] = -1;
    });
    BlockReader reader(p.fd[0]);
    std::vector<std::complex<float>> block(block_size);
    for (int b = 0; b < 2; ++b) {
        ASSERT_TRUE(reader.read(block.data()));
        EXPECT_EQ(std::memcmp(block.data(), bytes.data() + b * 2048, 2048), 0) << b;
    }
    EXPECT_FALSE(reader.read(block.data()));
    EXPECT_FALSE(reader.read(block.data()));
    EXPECT_EQ(reader.error(), 0);
    writer.join();
}

TEST(BlockReader, AReadErrorEndsTheInputAndIsKept) {
    const int fd = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    BlockReader reader(fd);
    std::vector<std::complex<float>> block(block_size);
    EXPECT_FALSE(reader.read(block.data()));
    EXPECT_EQ(reader.error(), EISDIR);
    EXPECT_FALSE(reader.read(block.data()));
    close(fd);
}
