// Results held back while a batch runs: written out in pieces of at most
// HELD_BYTES, in the order they came, byte for byte; before the line keeps
// the run waiting, before any result written at once, and when the holding
// ends. Standard output is a pipe here, as for a program that reads them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ModuleSDK.h"
#include "OrvantiCom.h"

namespace {

// Standard output redirected into a pipe whose reader never waits.
class HeldResults : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::pipe(fds_), 0);
        ASSERT_EQ(::fcntl(fds_[0], F_SETFL, O_NONBLOCK), 0);
        ASSERT_EQ(::fcntl(fds_[1], F_SETPIPE_SZ, 1 << 20) > 0, true);
        std::fflush(stdout);
        saved_ = ::dup(1);
        ASSERT_GE(::dup2(fds_[1], 1), 0);
    }
    void TearDown() override {
        ::dup2(saved_, 1);
        ::close(saved_);
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    // What has reached the reader since the last call.
    std::string arrived() {
        std::string out;
        char buffer[8192];
        for (ssize_t n; (n = ::read(fds_[0], buffer, sizeof buffer)) > 0;)
            out.append(buffer, static_cast<size_t>(n));
        return out;
    }

private:
    int fds_[2] = {-1, -1};
    int saved_ = -1;
};

std::string object(int n, size_t length) {
    std::string line = "{\"n\":" + std::to_string(n) + ",\"pad\":\"";
    line.append(length - line.size() - 3, 'a' + static_cast<char>(n % 26));
    return line + "\"}\n";
}

TEST_F(HeldResults, ComeOutWholeAndInOrder) {
    std::string all;
    {
        const results::Holding holding;
        // Held: nothing reaches the reader yet.
        for (int i = 0; i < 3; ++i) {
            all += object(i, 300);
            EXPECT_TRUE(results::emit(all.data() + all.size() - 300, 300));
        }
        EXPECT_EQ(arrived(), "");
        // The line runs what is held before it waits.
        kelvor::serial_run_held();
        EXPECT_EQ(arrived(), all);
        // A piece is never longer than HELD_BYTES: the one that would not fit
        // goes out with the next piece.
        std::string piece;
        while (piece.size() + 300 <= results::HELD_BYTES) {
            piece += object(static_cast<int>(piece.size() / 300), 300);
            EXPECT_TRUE(results::emit(piece.data() + piece.size() - 300, 300));
        }
        EXPECT_EQ(arrived(), "");
        const std::string next = object(99, 300);
        EXPECT_TRUE(results::emit(next.data(), next.size()));
        EXPECT_EQ(arrived(), piece);
        // A result longer than a piece goes out whole, after what was held.
        const std::string big = object(7, results::HELD_BYTES + 10);
        EXPECT_TRUE(results::emit(big.data(), big.size()));
        EXPECT_EQ(arrived(), next + big);
        // So does a result written at once (the port list, the version).
        const std::string held = object(8, 200), now = object(9, 100);
        EXPECT_TRUE(results::emit(held.data(), held.size()));
        EXPECT_TRUE(results::write(now.data(), now.size()));
        EXPECT_EQ(arrived(), held + now);
        all = object(10, 120);
        EXPECT_TRUE(results::emit(all.data(), all.size()));
    }
    // The holding's end writes the rest; afterwards nothing is held.
    EXPECT_EQ(arrived(), all);
    {
        // One within another (a batch line that runs a directory): the outer
        // one still holds after the inner one ends.
        const results::Holding outer;
        { const results::Holding inner; }
        const std::string held = object(12, 90);
        EXPECT_TRUE(results::emit(held.data(), held.size()));
        EXPECT_EQ(arrived(), "");
        all = held;
    }
    EXPECT_EQ(arrived(), all);
    const std::string after = object(11, 80);
    EXPECT_TRUE(results::emit(after.data(), after.size()));
    EXPECT_EQ(arrived(), after);
}

} // namespace
