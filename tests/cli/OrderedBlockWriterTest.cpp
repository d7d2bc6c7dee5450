// Blocks formatted on several threads come out whole and in order, for any
// number of threads and any window, and a failing block stops the output
// right before it.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cli/OrderedBlockWriter.h"

using resurgo::cli::OrderedBlockWriter;

namespace {

std::string blockText(std::size_t b) { return "<" + std::to_string(b) + ":" + std::string(b % 13, 'x') + ">"; }

std::string expectedUpTo(std::size_t count) {
    std::string all;
    for (std::size_t b = 0; b < count; ++b) all += blockText(b);
    return all;
}

} // namespace

TEST(OrderedBlockWriter, BlocksComeOutInOrderWhateverThreadFormatsThem) {
    for (std::size_t threads : {1u, 2u, 4u}) {
        for (std::size_t window : {1u, 3u, 64u}) {
            SCOPED_TRACE("threads " + std::to_string(threads) + ", window " + std::to_string(window));
            std::atomic<int> calls{0};
            std::ostringstream out;
            std::vector<std::size_t> written;
            OrderedBlockWriter::write(
                out, 200, threads, window,
                [&](std::size_t b, std::string& text) {
                    EXPECT_TRUE(text.empty());
                    ++calls;
                    // Some blocks take longer, so later ones finish first.
                    if (b % 17 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
                    text += blockText(b);
                },
                [&](std::size_t n) {
                    // Told after each block is out, on the writing thread.
                    EXPECT_EQ(out.str(), expectedUpTo(n));
                    written.push_back(n);
                });
            EXPECT_EQ(out.str(), expectedUpTo(200));
            EXPECT_EQ(calls.load(), 200);
            ASSERT_EQ(written.size(), 200u);
            for (std::size_t i = 0; i < written.size(); ++i) EXPECT_EQ(written[i], i + 1);
        }
    }
    std::ostringstream none;
    OrderedBlockWriter::write(none, 0, 4, 4, [](std::size_t, std::string&) { FAIL() << "no block to format"; });
    EXPECT_EQ(none.str(), "");
}

TEST(OrderedBlockWriter, AFailingBlockIsRaisedAfterTheBlocksBeforeIt) {
    for (std::size_t threads : {1u, 2u, 4u}) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        std::ostringstream out;
        try {
            OrderedBlockWriter::write(out, 100, threads, 8, [](std::size_t b, std::string& text) {
                if (b == 41) {
                    // The blocks just before it are still being formatted.
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                    throw std::runtime_error("block 41");
                }
                if (b > 36 && b < 41) std::this_thread::sleep_for(std::chrono::milliseconds(2));
                text += blockText(b);
            });
            FAIL() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "block 41");
        }
        EXPECT_EQ(out.str(), expectedUpTo(41));
    }
}
