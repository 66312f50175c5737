// The line buffer on its own: lines out of the bytes that arrived, and room
// for the next transfer in whole packets.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "line_buffer.h"

namespace {

class LineBufferTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(buffer.allocate()); }

    void arrive(const std::string& bytes, std::uint32_t packet = 512)
    {
        ASSERT_GE(buffer.room(packet), bytes.size());
        std::memcpy(buffer.write_position(), bytes.data(), bytes.size());
        buffer.received(static_cast<std::uint32_t>(bytes.size()));
    }

    com::LineBuffer::Take take(int size = 128)
    {
        out.assign(static_cast<std::size_t>(size) + 1, '#');
        length = -1;
        return buffer.take_line(&out[0], size, &length);
    }

    com::LineBuffer buffer;
    std::string out;
    int length = -1;
};

using Take = com::LineBuffer::Take;

TEST_F(LineBufferTest, HandsOutLinesInOrderAndEmptiesAfterTheLast)
{
    arrive("CMD M28 Received.\r\nWriting to file: 0:/sys/a\nok\r\npart");
    for (const char* expected : {"CMD M28 Received.", "Writing to file: 0:/sys/a", "ok"}) {
        ASSERT_EQ(take(), Take::line);
        EXPECT_STREQ(out.c_str(), expected);
        EXPECT_EQ(length, static_cast<int>(std::strlen(expected)));
    }
    EXPECT_EQ(take(), Take::no_line);
    EXPECT_EQ(buffer.buffered(), 4u) << "the unended line stays";
    arrive("\n");
    ASSERT_EQ(take(), Take::line);
    EXPECT_STREQ(out.c_str(), "part");
    EXPECT_TRUE(buffer.empty());
}

TEST_F(LineBufferTest, ALineThatDoesNotFitStaysAndReportsItsLength)
{
    arrive(std::string(128, 'b') + "\r\n");
    EXPECT_EQ(take(128), Take::too_small);
    EXPECT_EQ(length, 128);
    EXPECT_EQ(take(128), Take::too_small) << "still there";
    EXPECT_EQ(out[0], '#') << "nothing copied";
    ASSERT_EQ(take(129), Take::line);
    EXPECT_EQ(out.substr(0, 128), std::string(128, 'b'));
}

TEST_F(LineBufferTest, RoomIsWholePacketsAfterMovingAPartialLineToTheFront)
{
    struct Case {
        std::uint32_t packet;
        std::size_t partial;  // bytes of an unended line after one complete line
        std::uint32_t room;
    } cases[] = {{512, 6, 3584}, {64, 6, 4032}, {64, 4033, 0}, {512, 3585, 0}, {1024, 0, 4096}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.packet) + "/" + std::to_string(c.partial));
        buffer.clear();
        arrive("ok\r\n" + std::string(c.partial, 'p'), 64);
        ASSERT_EQ(take(), Take::line);
        EXPECT_EQ(buffer.room(c.packet), c.room);
        EXPECT_EQ(buffer.buffered(), c.partial) << "the partial line was kept";
        if (c.room == 0)
            continue;
        arrive("\n", c.packet);
        ASSERT_EQ(take(8192), Take::line);
        EXPECT_EQ(out.substr(0, static_cast<std::size_t>(length)), std::string(c.partial, 'p'));
    }
}

}  // namespace
