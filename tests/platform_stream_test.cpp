// Pipes read whole: every byte up to the limit and none beyond it, nothing
// for an empty pipe, and a FIFO that no writer opens given up when asked.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/tools.h"

namespace {

class PipeRead : public ::testing::Test {
protected:
    void SetUp() override {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
        fifo = dir + "/fifo";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        // A reader that stops at its limit leaves the writer an EPIPE.
        std::signal(SIGPIPE, SIG_IGN);
    }
    void TearDown() override { remove_tree(dir); }

    std::string dir;
    std::string fifo;
};

TEST_F(PipeRead, WholeUpToTheLimit) {
    EXPECT_EQ(plat_file_kind(wide(fifo).c_str(), nullptr), PLAT_FILE_PIPE);
    const struct {
        size_t bytes;
        size_t limit;
        int status;
    } cases[] = {
        {0, 10, PLAT_READ_OK},
        {10, 10, PLAT_READ_OK},
        {11, 10, PLAT_READ_TOO_LARGE},
        {200000, 200000, PLAT_READ_OK},  // through the buffer's growth
        {200001, 200000, PLAT_READ_TOO_LARGE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        const std::vector<uint8_t> sent = noise_bytes(c.bytes, 7);
        std::thread writer([&] {
            const int fd = open(fifo.c_str(), O_WRONLY);
            for (size_t at = 0; fd >= 0 && at < sent.size();) {
                const ssize_t n = write(fd, sent.data() + at, sent.size() - at);
                if (n <= 0) break;
                at += size_t(n);
            }
            if (fd >= 0) close(fd);
        });
        uint8_t* data = reinterpret_cast<uint8_t*>(1);
        size_t size = 1;
        EXPECT_EQ(plat_read_pipe(wide(fifo).c_str(), c.limit, nullptr, nullptr, &data, &size),
                  c.status);
        writer.join();
        if (c.status == PLAT_READ_OK) {
            ASSERT_EQ(size, c.bytes);
            EXPECT_EQ(data == nullptr, c.bytes == 0);
            EXPECT_TRUE(c.bytes == 0 || std::equal(sent.begin(), sent.end(), data));
        } else {
            EXPECT_EQ(data, nullptr);
            EXPECT_EQ(size, 0u);
        }
        std::free(data);
    }
}

TEST_F(PipeRead, NoWriterIsGivenUpWhenAsked) {
    int asked = 0;
    auto stop = [](void* opaque) { return ++*static_cast<int*>(opaque) >= 3; };
    uint8_t* data = nullptr;
    size_t size = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(plat_read_pipe(wide(fifo).c_str(), 100, stop, &asked, &data, &size),
              PLAT_READ_STOPPED);
    EXPECT_EQ(asked, 3);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(plat_read_pipe(wide(dir + "/none").c_str(), 100, nullptr, nullptr, &data, &size),
              PLAT_READ_NOT_FOUND);
}

}  // namespace
