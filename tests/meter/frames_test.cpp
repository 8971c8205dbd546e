#include "meter/frames.h"

#include <gtest/gtest.h>

#include "bytes.h"

namespace qv {
namespace {

using test::hex;

TEST(Frames, BuildsAndChecksFrames) {
    EXPECT_EQ(FixedFrame(0x49, 1), hex("10 49 01 00 4A 16"));
    EXPECT_EQ(FixedFrame(0x7B, 0x12345), hex("10 7B 45 23 E3 16"));  // low 16 bits
    EXPECT_EQ(OpenSessionFrame(1, 2, 0x01020304),
              hex("68 0D 0D 68 53 01 00 B7 01 06 02 00 00 04 03 02 01 1E 16"));
    EXPECT_EQ(EndSessionFrame(0x0102, 0x0304), hex("68 09 09 68 53 02 01 BB 00 06 04 03 00 1E 16"));

    EXPECT_FALSE(CheckFrame(""));
    EXPECT_FALSE(CheckFrame(hex("49 01 00 4A")));
    EXPECT_TRUE(CheckFrame(hex("49 01 00 4A 00")));  // the end byte is not examined
    EXPECT_FALSE(CheckFrame(hex("49 01 00 4B 16")));
    const std::string body = EndSessionFrameFcb(1, 1).substr(1);
    EXPECT_TRUE(CheckFrame(body));
    EXPECT_FALSE(CheckFrame(body.substr(0, body.size() - 1)));
    std::string bad = body;
    bad[8] ^= 1;
    EXPECT_FALSE(CheckFrame(bad));
}

// One extraction from a receive buffer: the frame found (without its start
// byte) and how many bytes stay behind.
TEST(ExtractFrame, FindsFramesAndDropsNoise) {
    const std::string open = OpenSessionFrame(1, 1, 1), end = EndSessionFrame(1, 1);
    const struct {
        const char* name;
        std::string rx, frame;
        int left;                // bytes left behind, -1: not checked
        std::string later = {};  // found by further calls
    } rows[] = {
        {"fixed frame behind noise", hex("FF 00 10 0B 01 00 0C 16"), hex("0B 01 00 0C 16"), 0},
        {"two frames: the later one", FixedFrame(0x00, 1) + end, end.substr(1), 0},
        {"bad checksum costs one byte", hex("10 49 01 00 4B 16") + FixedFrame(0x0B, 1), "", 11,
         FixedFrame(0x0B, 1).substr(1)},
        {"lengths differ", hex("68 0D 0C 68") + std::string(15, '\0'), "", 18},
        {"no second start byte", hex("68 0D 0D 67") + std::string(15, '\0'), "", 18},
        {"single character $E5", hex("E5 E5 E5 E5 E5 E5 E5"), "", -1},
        {"length too short for C and A", hex("68 00 00 68 68 16 00"), "", 6},
        {"five bytes wait", hex("FF FF FF FF FF"), "", 5},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string rx = row.rx, last;
        EXPECT_EQ(ExtractFrame(rx, last), !row.frame.empty());
        EXPECT_EQ(last, row.frame);
        if (row.left >= 0) {
            EXPECT_EQ(int(rx.size()), row.left);
        }
        // Repeated calls find the good frame behind, never a false one.
        for (int i = 0; i < 20 && last.empty(); ++i) ExtractFrame(rx, last);
        EXPECT_EQ(last, row.frame.empty() ? row.later : row.frame);
    }

    EXPECT_EQ(FrameFunction(rows[0].frame), kFnLinkStatus);

    // A frame arriving in pieces waits whole until its last byte.
    std::string rx, last;
    for (std::size_t i = 0; i + 1 < open.size(); ++i) {
        rx += open[i];
        EXPECT_FALSE(ExtractFrame(rx, last)) << "after byte " << i;
        EXPECT_EQ(rx, open.substr(0, i + 1)) << "bytes were dropped after byte " << i;
    }
    rx += open.back();
    EXPECT_TRUE(ExtractFrame(rx, last));
    EXPECT_EQ(last, open.substr(1));
    EXPECT_TRUE(rx.empty());
}

}  // namespace
}  // namespace qv
