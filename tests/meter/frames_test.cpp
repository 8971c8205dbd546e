#include "meter/frames.h"

#include <gtest/gtest.h>

#include "bytes.h"

namespace qv {
namespace {

using test::hex;

TEST(Frames, BuildsFixedAndSessionFrames) {
    EXPECT_EQ(FixedFrame(0x49, 1), hex("10 49 01 00 4A 16"));
    EXPECT_EQ(FixedFrame(0x7B, 0x12345), hex("10 7B 45 23 E3 16"));  // low 16 bits
    EXPECT_EQ(Checksum(""), 0);
    EXPECT_EQ(Checksum(hex("FF 02")), 1);

    const std::string open = OpenSessionFrame(1, 2, 0x01020304);
    EXPECT_EQ(open, hex("68 0D 0D 68 53 01 00 B7 01 06 02 00 00 04 03 02 01 1E 16"));
    const std::string end = EndSessionFrame(0x0102, 0x0304);
    EXPECT_EQ(end, hex("68 09 09 68 53 02 01 BB 00 06 04 03 00 1E 16"));
    const std::string endFcb = EndSessionFrameFcb(0x0102, 0x0304);
    EXPECT_EQ(endFcb.size(), 15u);
    EXPECT_EQ(static_cast<uint8_t>(endFcb[4]), 0x73);
    EXPECT_TRUE(CheckFrame(endFcb.substr(1)));
}

TEST(Frames, CheckFrameJudgesLengthAndChecksum) {
    EXPECT_FALSE(CheckFrame(""));
    EXPECT_FALSE(CheckFrame(hex("49 01 00 4A")));
    EXPECT_TRUE(CheckFrame(hex("49 01 00 4A 16")));
    EXPECT_TRUE(CheckFrame(hex("49 01 00 4A 00")));  // the end byte is not examined
    EXPECT_FALSE(CheckFrame(hex("49 01 00 4B 16")));
    const std::string body = OpenSessionFrame(1, 1, 1).substr(1);
    EXPECT_TRUE(CheckFrame(body));
    EXPECT_FALSE(CheckFrame(body.substr(0, body.size() - 1)));
    std::string bad = body;
    bad[8] ^= 1;
    EXPECT_FALSE(CheckFrame(bad));
}

TEST(ExtractFrame, FindsAFixedFrameBehindNoise) {
    std::string rx = hex("FF 00 10 0B 01 00 0C 16"), last;
    EXPECT_TRUE(ExtractFrame(rx, last));
    EXPECT_EQ(last, hex("0B 01 00 0C 16"));
    EXPECT_EQ(last.size(), 5u);
    EXPECT_EQ(FrameFunction(last), kFnLinkStatus);
    EXPECT_TRUE(rx.empty());
}

TEST(ExtractFrame, WaitsForFramesArrivingInPieces) {
    const std::string frame = OpenSessionFrame(1, 1, 1);  // 19 bytes
    std::string rx, last;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
        rx += frame[i];
        EXPECT_FALSE(ExtractFrame(rx, last)) << "after byte " << i;
        EXPECT_EQ(rx, frame.substr(0, i + 1)) << "bytes were dropped after byte " << i;
    }
    rx += frame.back();
    EXPECT_TRUE(ExtractFrame(rx, last));
    EXPECT_EQ(last, frame.substr(1));
    EXPECT_TRUE(rx.empty());
}

TEST(ExtractFrame, BadChecksumCostsOneByteThenTheSearchResumes) {
    std::string rx = hex("10 49 01 00 4B 16") + FixedFrame(0x0B, 1), last;
    EXPECT_FALSE(ExtractFrame(rx, last));
    EXPECT_EQ(rx.size(), 11u);
    // Repeated calls drop noise up to the good frame.
    for (int i = 0; i < 10 && last.empty(); ++i) ExtractFrame(rx, last);
    EXPECT_EQ(last, FixedFrame(0x0B, 1).substr(1));
    EXPECT_TRUE(rx.empty());
}

TEST(ExtractFrame, TwoFramesInOneCallLeaveTheLaterOne) {
    const std::string var = EndSessionFrame(1, 1);
    std::string rx = FixedFrame(0x00, 1) + var, last;
    EXPECT_TRUE(ExtractFrame(rx, last));
    EXPECT_EQ(last, var.substr(1));
    EXPECT_TRUE(rx.empty());
}

TEST(ExtractFrame, RejectsMismatchedHeadersAndLoneAcknowledgements) {
    std::string last;
    std::string rx = hex("68 0D 0C 68") + std::string(15, '\0');
    EXPECT_FALSE(ExtractFrame(rx, last));
    EXPECT_EQ(rx.size(), 18u);  // lengths differ: one byte lost

    rx = hex("68 0D 0D 67") + std::string(15, '\0');
    EXPECT_FALSE(ExtractFrame(rx, last));
    EXPECT_EQ(rx.size(), 18u);

    // The single character $E5 is not a reply, whatever follows it.
    rx = hex("E5");
    EXPECT_FALSE(ExtractFrame(rx, last));
    rx = hex("E5 E5 E5 E5 E5 E5 E5");
    EXPECT_FALSE(ExtractFrame(rx, last));
    EXPECT_TRUE(last.empty());

    // A length too short to hold C and A never passes for a fixed reply.
    rx = hex("68 00 00 68 68 16 00");
    EXPECT_FALSE(ExtractFrame(rx, last));
    EXPECT_TRUE(last.empty());
    EXPECT_EQ(rx.size(), 6u);  // one byte lost

    // Five bytes or fewer are left alone.
    rx = hex("FF FF FF FF FF");
    EXPECT_FALSE(ExtractFrame(rx, last));
    EXPECT_EQ(rx.size(), 5u);
}

}  // namespace
}  // namespace qv
