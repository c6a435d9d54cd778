#include "transfer/TemuDownload.h"

#include <gtest/gtest.h>

#include "support/Rig.h"

namespace kelvane::test {
namespace {

const Bytes kStart = B({0x02, 0x01, 0x03}), kStartReply = B({0x02, 0x01, 0x0A, 0x03}), kEnd = B({0x02, 0x0A, 0x03});

Bytes ReadRequest(std::uint32_t count, std::uint32_t offset) {
  return B({0x02, 0x02, int(count & 255), int(count >> 8), int(offset & 255), int(offset >> 8 & 255),
            int(offset >> 16 & 255), int(offset >> 24), 0x03});
}

struct Temu : Rig {
  Bytes file;
  explicit Temu(const Bytes& content = Pattern(10, 1)) : file(content) {
    WriteFile("ca.sgn", file);
    Choose(Control::DownDot, Control::TemuDot, "ca.sgn");
  }
  Bytes Slice(std::size_t from, std::size_t n) const { return Bytes(file.begin() + long(from), file.begin() + long(from + n)); }
  // The receiver ends the exchange; nothing is reported.
  void EndAndStart() {
    rx.Send(kEnd);
    Start();
    EXPECT_TRUE(view.messages.empty());
    ExpectUnlocked();
  }
};

TEST(Temu, StartAndTimeRequestsWholeOrInPiecesGetTheirRepliesInPieces) {
  for (const std::vector<std::size_t>& reads : {std::vector<std::size_t>{3}, {1, 2}, {1, 1, 1}}) {
    Temu t;
    t.rx.Send(kStart, reads).Expect(kStartReply);
    t.rx.Send({0x02, 0x03, 0x03}, reads).Expect({0x02, 0x03, 0xC0, 0x79, 0x12, 0x45, 0x00, 0x03});  // 1993-10-13 12:45:00
    t.EndAndStart();
    EXPECT_EQ(t.serial.writes, (std::vector<Bytes>{B({2}), B({1}), B({0x0A}), B({3}), B({2}), B({3}), B({0xC0, 0x79}),
                                                   B({0x12}), B({0x45}), B({0}), B({3})}));
  }
}

TEST(Temu, ReadRepliesAreFileBytesThenFillerInSeparateWrites) {
  struct Case {
    std::size_t fileSize;
    std::uint32_t count, offset;
    std::size_t fileBytes, filler;  // served from the file from offset on, then FF
  };
  for (const Case& c : {Case{10, 16, 0, 10, 6}, Case{10, 16, 9, 1, 15}, Case{10, 4, 10, 0, 4}, Case{10, 10, 0, 10, 0},
                        Case{10, 0, 0, 0, 0}, Case{0, 3, 0, 0, 3}, Case{10, 2, 0x80000000u, 0, 2},
                        Case{10, 2, 0xFFFFFFFFu, 0, 2}, Case{70000, 65535, 100, 65535, 0}}) {
    SCOPED_TRACE(std::to_string(c.count) + " at " + std::to_string(c.offset));
    Temu t(Pattern(c.fileSize, 2));
    std::vector<Bytes> pieces{B({0x02, 0x02})};
    if (c.fileBytes) pieces.push_back(t.Slice(c.offset, c.fileBytes));
    if (c.filler) pieces.push_back(Bytes(c.filler, 0xFF));
    pieces.push_back(B({0x03}));
    Bytes reply;
    for (const auto& p : pieces) reply = Concat({reply, p});
    t.rx.Send(ReadRequest(c.count, c.offset), {1, 4, 4}).Expect(reply);  // the lone 02 first
    t.EndAndStart();
    EXPECT_EQ(t.serial.writes, pieces);
  }
  Temu t(Pattern(4096, 3));
  t.rx.Send(ReadRequest(1024, 2048)).Expect(Concat({B({0x02, 0x02}), t.Slice(2048, 1024), B({0x03})}));
  t.rx.Do([&] {
    EXPECT_EQ(t.view.Text(Control::Info), "3k/4K");
    EXPECT_FLOAT_EQ(t.view.progress, 3072.0f * 95 / 4096);
  });
  t.EndAndStart();
}

TEST(Temu, BytesOutsideRequestsAndOverlongOrUnknownRequestsAreDropped) {
  Temu t;
  t.serial.Deliver(kStart);  // pending before the start: dropped
  // In front of a request's 02; between requests with no 02; behind a complete request.
  t.rx.Idle(3).Send({0x55, 0x02, 0x01, 0x03}).Expect(kStartReply).Send({0x01, 0x03}).AwaitRead().Idle(3);
  t.rx.Send({0x02, 0x01, 0x03, 0x02, 0x0A, 0x03}).Expect(kStartReply).AwaitRead().Idle(3);
  // A start request whose 03 never comes, then far more than the buffer holds.
  t.rx.Send({0x02, 0x01, 0x05}).AwaitRead().Send(Bytes(200, 0x44)).AwaitRead().Idle(3);
  t.rx.Send(Concat({B({0x02, 0x02}), Bytes(150, 0x20)})).AwaitRead().Idle(3);
  // Exactly filling the buffer, then one byte more.
  t.rx.Send(Concat({B({0x02, 0x02}), Bytes(99, 0x20)})).AwaitRead().Send({0x03}).AwaitRead().Idle(3);
  // An unknown code is kept until its 03 stands at both places where requests end.
  t.rx.Send({0x02, 0x07, 0x03}).AwaitRead().Send({0x11, 0x11, 0x11, 0x11, 0x11, 0x03}).AwaitRead().Idle(3);
  t.rx.Send(kStart).Expect(kStartReply);
  t.EndAndStart();
  EXPECT_EQ(t.serial.inDrops, 1);
  EXPECT_EQ(t.serial.outDrops, 4) << "once at the start and once before each reply";
}

TEST(Temu, EndInThreeChunksOrStopEndsItWritingNothing) {
  for (int way : {0, 1, 2}) {
    SCOPED_TRACE(way);
    Temu t;
    if (way == 0) t.rx.Send({0x02}).AwaitRead().Send({0x0A}).AwaitRead().Idle(3).Send({0x03});
    if (way == 1) t.rx.Send({0x02, 0x02, 0x10}).AwaitRead();
    if (way != 0) t.rx.Idle(5).Stop();
    t.Start();
    EXPECT_TRUE(t.serial.written.empty());
    EXPECT_TRUE(t.view.messages.empty());
    EXPECT_EQ(t.serial.inputLenHistory, std::vector<int>{0});
    t.ExpectUnlocked();
  }
  Temu m;
  m.main.XferPath = "absent.hsh";
  m.Start();
  m.ExpectOnlyMessage("No such file or directory", "", Icon::Exclamation);
  EXPECT_FALSE(fs::exists("absent.hsh"));
}

}  // namespace
}  // namespace kelvane::test
