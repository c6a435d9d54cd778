#include "transfer/TemuDownload.h"

#include <gtest/gtest.h>

#include "transfer/TransferRig.h"

namespace kelvane::test {
namespace {

const Bytes kStartRequest = B({0x02, 0x01, 0x03});
const Bytes kStartReply = B({0x02, 0x01, 0x0A, 0x03});
const Bytes kEndRequest = B({0x02, 0x0A, 0x03});

Bytes ReadRequest(std::uint32_t count, std::uint32_t offset) {
  return B({0x02, 0x02, int(count & 255), int(count >> 8), int(offset & 255), int((offset >> 8) & 255),
            int((offset >> 16) & 255), int(offset >> 24), 0x03});
}

struct Temu : Rig {
  Bytes file;
  explicit Temu(const Bytes& content = Pattern(10, 1)) : file(content) {
    WriteFile("ca.sgn", file);
    Choose(Mode::DownLoad, Type::Temu, "ca.sgn");
  }
  Bytes Slice(std::size_t from, std::size_t n) const {
    return Bytes(file.begin() + long(from), file.begin() + long(from + n));
  }
  // Ends the exchange the receiver's way and runs it.
  void EndAndStart() {
    rx.Send(kEndRequest);
    Start();
    ExpectTranscript();
    EXPECT_TRUE(view.messages.empty());
    ExpectUnlocked(*this);
  }
};

TEST(Temu, StartRequestWholeOrInPiecesGetsOneReplyInFourWrites) {
  for (const std::vector<std::size_t>& reads : {std::vector<std::size_t>{3}, {1, 2}, {1, 1, 1}}) {
    Temu t;
    t.rx.Send(kStartRequest, reads).Expect(kStartReply);
    t.EndAndStart();
    EXPECT_EQ(t.serial.writes, (std::vector<Bytes>{B({0x02}), B({0x01}), B({0x0A}), B({0x03})}));
  }
}

struct ReadCase {
  std::size_t fileSize;
  std::uint32_t count, offset;
  std::size_t fileBytes;  // served from the file, from offset on
  std::size_t filler;
};

class TemuReads : public ::testing::TestWithParam<ReadCase> {};

TEST_P(TemuReads, PayloadIsFileBytesThenFillerInSeparateWrites) {
  const auto c = GetParam();
  Temu t(Pattern(c.fileSize, 2));
  Bytes expected = Concat({B({0x02, 0x02}), c.fileBytes ? t.Slice(c.offset, c.fileBytes) : Bytes{},
                           Bytes(c.filler, 0xFF), B({0x03})});
  t.rx.Send(ReadRequest(c.count, c.offset)).Expect(expected);
  t.EndAndStart();

  std::vector<Bytes> pieces{B({0x02, 0x02})};
  if (c.fileBytes) pieces.push_back(t.Slice(c.offset, c.fileBytes));
  if (c.filler) pieces.push_back(Bytes(c.filler, 0xFF));
  pieces.push_back(B({0x03}));
  EXPECT_EQ(t.serial.writes, pieces);
}

INSTANTIATE_TEST_SUITE_P(, TemuReads,
                         ::testing::Values(ReadCase{10, 16, 0, 10, 6}, ReadCase{10, 16, 9, 1, 15},
                                           ReadCase{10, 4, 10, 0, 4}, ReadCase{10, 4, 50, 0, 4},
                                           ReadCase{10, 10, 0, 10, 0}, ReadCase{10, 0, 0, 0, 0},
                                           ReadCase{0, 3, 0, 0, 3}, ReadCase{10, 2, 0x80000000u, 0, 2},
                                           ReadCase{10, 2, 0xFFFFFFFFu, 0, 2},
                                           ReadCase{70000, 65535, 100, 65535, 0}));

TEST(Temu, ReadRepliesShowThePositionReached) {
  Temu t(Pattern(4096, 3));
  t.rx.Send(ReadRequest(1024, 2048)).Expect(Concat({B({0x02, 0x02}), t.Slice(2048, 1024), B({0x03})}));
  t.rx.Do([&] {
    EXPECT_EQ(t.view.Text(Control::Info), "3k/4K");
    EXPECT_FLOAT_EQ(t.view.progress, 3072.0f * 95 / 4096);
  });
  // A read request in pieces, the lone 02 first.
  t.rx.Send(ReadRequest(16, 0), {1, 4, 4}).Expect(Concat({B({0x02, 0x02}), t.Slice(0, 16), B({0x03})}));
  t.EndAndStart();
}

TEST(Temu, TimeReplyCarriesMjdAndBcdTime) {
  Temu t;
  t.clock.local = {1993, 10, 13, 12, 45, 0};
  t.rx.Send({0x02, 0x03, 0x03}).Expect({0x02, 0x03, 0xC0, 0x79, 0x12, 0x45, 0x00, 0x03});
  t.EndAndStart();
  EXPECT_EQ(t.serial.writes, (std::vector<Bytes>{B({0x02}), B({0x03}), B({0xC0, 0x79}), B({0x12}), B({0x45}),
                                                 B({0x00}), B({0x03})}));
}

TEST(Temu, BytesOutsideRequestsAreDropped) {
  Temu t;
  // In front of a request's 02; between requests with no 02; behind a complete request.
  t.rx.Send({0x55, 0x02, 0x01, 0x03}).Expect(kStartReply);
  t.rx.Send({0x01, 0x03}).AwaitRead().Idle(3);
  t.rx.Send({0x02, 0x01, 0x03, 0x02, 0x0A, 0x03}).Expect(kStartReply).AwaitRead().Idle(3);
  t.rx.Send(kStartRequest).Expect(kStartReply);
  t.EndAndStart();
}

TEST(Temu, EndRequestInThreeChunks) {
  Temu t;
  t.rx.Send({0x02}).AwaitRead().Send({0x0A}).AwaitRead().Idle(3).Send({0x03});
  t.Start();
  EXPECT_TRUE(t.serial.written.empty());
  EXPECT_EQ(t.serial.inputLenHistory, std::vector<int>{0});
  ExpectUnlocked(t);
}

TEST(Temu, RequestTooLongForTheBufferIsDroppedWhole) {
  Temu t;
  // A start request whose 03 never comes, then far more than the buffer holds.
  t.rx.Send({0x02, 0x01, 0x05}).AwaitRead().Send(Bytes(200, 0x44)).AwaitRead().Idle(3);
  // A read request that runs past the buffer in one chunk.
  t.rx.Send(Concat({B({0x02, 0x02}), Bytes(150, 0x20)})).AwaitRead().Idle(3);
  // Exactly filling the buffer, then one byte more.
  t.rx.Send(Concat({B({0x02, 0x02}), Bytes(99, 0x20)})).AwaitRead().Send({0x03}).AwaitRead().Idle(3);
  // Afterwards requests are served as usual.
  t.rx.Send(kStartRequest).Expect(kStartReply);
  t.EndAndStart();
}

TEST(Temu, UnknownRequestsAreNotAnswered) {
  Temu t;
  // An unknown code is kept until its 03 stands at both places where requests end.
  t.rx.Send({0x02, 0x07, 0x03}).AwaitRead().Send({0x11, 0x11, 0x11, 0x11, 0x11, 0x03}).AwaitRead().Idle(3);
  t.rx.Send(kStartRequest).Expect(kStartReply);
  t.EndAndStart();
}

TEST(Temu, DropsWhatWasPendingAndQueuedWhenStarting) {
  Temu t;
  t.serial.Deliver(kStartRequest);
  t.rx.Idle(3).Send(kStartRequest).Expect(kStartReply);
  t.EndAndStart();
  EXPECT_EQ(t.serial.inDrops, 1);
  EXPECT_EQ(t.serial.outDrops, 2) << "once at the start and once before the reply";
}

TEST(Temu, StopWhileWaitingWritesNothing) {
  for (bool midRequest : {false, true}) {
    Temu t;
    if (midRequest) t.rx.Send({0x02, 0x02, 0x10}).AwaitRead();
    t.rx.Idle(5).Stop();
    t.Start();
    EXPECT_TRUE(t.serial.written.empty());
    EXPECT_TRUE(t.view.messages.empty());
    ExpectUnlocked(t);
  }
}

TEST(Temu, MissingFileIsReportedAndNotCreated) {
  Temu t;
  t.main.XferPath = t.Path("absent.hsh");
  t.Start();
  EXPECT_TRUE(t.serial.written.empty());
  ASSERT_EQ(t.view.messages.size(), 1u);
  EXPECT_EQ(t.view.messages[0].text, "No such file or directory");
  EXPECT_EQ(t.view.messages[0].icon, Icon::Exclamation);
  EXPECT_FALSE(t.FileExists("absent.hsh"));
  ExpectUnlocked(t);
}

}  // namespace
}  // namespace kelvane::test
