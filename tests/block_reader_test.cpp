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

constexpr size_t block_bytes = block_size * sizeof(std::complex<float>);

// Sample s of the stream is (s, -s).
std::vector<std::complex<float>> stream(size_t samples) {
    std::vector<std::complex<float>> v(samples);
    for (size_t s = 0; s < samples; ++s) v[s] = {float(s), -float(s)};
    return v;
}

void writeAll(int fd, const char* bytes, size_t n) {
    for (ssize_t done = 0; n > 0; bytes += done, n -= static_cast<size_t>(done))
        ASSERT_GT(done = ::write(fd, bytes, n), 0);
}

TEST(BlockReader, HandsOutABlockWithoutWaitingForMore) {
    int fd[2];
    ASSERT_EQ(pipe(fd), 0);
    const std::vector<std::complex<float>> data = stream(block_size);
    writeAll(fd[1], reinterpret_cast<const char*>(data.data()), block_bytes);
    // The writer stays open: a reader that waited for a full buffer would never return.
    BlockReader reader(fd[0]);
    const std::complex<float>* block = reader.next();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::memcmp(block, data.data(), block_bytes), 0);
    close(fd[0]);
    close(fd[1]);
}

// Many blocks, more than one buffer's worth, written in pieces that split samples and blocks
// at odd bytes; the partial block at the end is dropped, and the end is final.
TEST(BlockReader, BlocksArriveWholeAndInOrderWhateverThePieces) {
    constexpr size_t blocks = 100;
    constexpr size_t total = blocks * block_bytes + 100;  // and part of one more
    const std::vector<std::complex<float>> data = stream((blocks + 1) * block_size);
    for (const size_t piece : {size_t{1}, size_t{777}, size_t{5000}, size_t{70001}}) {
        int fd[2];
        ASSERT_EQ(pipe(fd), 0);
        std::thread writer([&] {
            for (size_t done = 0; done < total; done += piece)
                writeAll(fd[1], reinterpret_cast<const char*>(data.data()) + done,
                         std::min(piece, total - done));
            close(fd[1]);
        });
        BlockReader reader(fd[0]);
        size_t got = 0;
        size_t wrong = 0;  // blocks that differ, or come after the last whole one
        for (const std::complex<float>* block; got <= blocks && (block = reader.next()); ++got)
            if (got == blocks || std::memcmp(block, data.data() + got * block_size, block_bytes))
                ++wrong;
        char rest[4096];  // whatever the reader left, so that the writer can finish
        while (::read(fd[0], rest, sizeof rest) > 0) continue;
        writer.join();
        close(fd[0]);
        EXPECT_EQ(wrong, 0u) << "pieces of " << piece;
        EXPECT_EQ(got, blocks) << "pieces of " << piece;
        EXPECT_EQ(reader.next(), nullptr);  // the end is final
        EXPECT_EQ(reader.error(), 0);
    }
}

TEST(BlockReader, AReadErrorEndsTheInputAndIsKept) {
    const int fd = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    BlockReader reader(fd);
    EXPECT_EQ(reader.next(), nullptr);
    EXPECT_EQ(reader.error(), EISDIR);
    EXPECT_EQ(reader.next(), nullptr);
    close(fd);
}

}  // namespace
