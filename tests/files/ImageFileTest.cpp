#include "files/ImageFile.h"

#include <gtest/gtest.h>

#include <cstring>

#include "files/FilesTestSupport.h"

namespace kelvane::test {
namespace {

TEST(ImageTexts, VersionShapes) {
  EXPECT_EQ(VersionText(kHwLabel, 0x00, 0x00, 0x01, 0x05), "HW version : 1.05");
  EXPECT_EQ(VersionText(kHwLabel, 0x00, 0x02, 0x0A, 0x03), "HW version : 2.0A.03");
  EXPECT_EQ(VersionText(kHwLabel, 0x07, 0x00, 0x03, 0x04), "HW version : 0.03.04");
  EXPECT_EQ(VersionText(kSwLabel, 0x00, 0x00, 0x00, 0x00), "SW version : 0.00");
  EXPECT_EQ(VersionText(kHwLabel, 0x00, 0x01, 0x00, 0x00), "HW version : 1.00.00");
  // Byte 0 alone chooses the three-part shape and is not shown.
  EXPECT_EQ(VersionText(kHwLabel, 0xFF, 0x00, 0x00, 0x00), "HW version : 0.00.00");
}

TEST(ImageTexts, ModelTextStopsAtNulAndIsUtf8) {
  Bytes text(32, 0);
  std::memcpy(text.data(), "ABC", 3);
  EXPECT_EQ(ModelText(0x12, 0x05, text), "Model ID : 1205    ABC");
  EXPECT_EQ(ModelText(0x00, 0x0A, text), "Model ID : 00A    ABC");

  // Nothing after the first NUL is shown, even printable bytes.
  text[5] = 'Z';
  EXPECT_EQ(ModelText(1, 2, text), "Model ID : 102    ABC");

  // 8-bit characters are Latin-1: E9 is e-acute, B0 the degree sign.
  Bytes latin{'C', 0xE9, 0xB0, 0xFF, 0x00};
  EXPECT_EQ(Latin1ToUtf8(latin), "C\xC3\xA9\xC2\xB0\xC3\xBF");

  // No NUL at all: all 32 characters.
  Bytes full(32, 'x');
  EXPECT_EQ(ModelText(0, 0, full), "Model ID : 000    " + std::string(32, 'x'));
}

TEST(ImageTexts, HeaderFieldsAndBareLabels) {
  Bytes raw = ImageHeaderBytes({0x00, 0x01}, {0, 2, 0x0A, 3}, {0, 0, 1, 5}, {0x12, 0x05}, "ABC");
  raw[12] = 0x00, raw[13] = 0x20, raw[14] = 0x00, raw[15] = 0x01;
  auto h = ParseImageHeader(raw);
  ASSERT_TRUE(h);
  EXPECT_TRUE(h->HasMagic());
  EXPECT_EQ(h->DataLength, 0x00200001u);
  auto t = HeaderTexts(*h);
  EXPECT_EQ(t.hw, "HW version : 2.0A.03");
  EXPECT_EQ(t.sw, "SW version : 1.05");
  EXPECT_EQ(t.model, "Model ID : 1205    ABC");

  raw[4] = 0x00, raw[5] = 0xFE;
  t = HeaderTexts(*ParseImageHeader(raw));
  EXPECT_EQ(t.hw, "HW version : ");
  EXPECT_EQ(t.sw, "SW version : ");
  EXPECT_EQ(t.model, "Model ID : ");

  EXPECT_FALSE(ParseImageHeader(Bytes(63, 0x55)));
}

class ImageCheck : public TempDirTest {
 protected:
  // Runs the check on name as the selection would.
  bool Check(const std::string& name) {
    w.main.XferPath = name;
    w.main.FileNum = static_cast<std::int16_t>(w.files.FreeFile());
    const bool ok = CheckImage(w.main);
    EXPECT_FALSE(w.files.IsOpen(w.main.FileNum)) << "the check leaves its file open";
    return ok;
  }
  void ExpectInvalid() {
    ASSERT_EQ(w.view.messages.size(), 1u);
    EXPECT_EQ(w.view.messages[0].text, "Invalid File format");
    EXPECT_EQ(w.view.messages[0].title, "File Error");
    EXPECT_EQ(w.view.messages[0].buttons, Buttons::OK);
    EXPECT_EQ(w.view.messages[0].icon, Icon::Critical);
  }
  Window w;
};

TEST_F(ImageCheck, PlainImageShowsItsTexts) {
  Bytes file = ImageHeaderBytes({0x00, 0x01}, {0, 0, 1, 5}, {0, 2, 0x0A, 3}, {0x12, 0x05}, "ABC");
  file.resize(64 + 3000, 0xEE);
  WriteFile("image.sgn", file);
  w.view.progressMax = 7;
  EXPECT_TRUE(Check("image.sgn"));
  EXPECT_TRUE(w.view.messages.empty());
  EXPECT_EQ(w.view.Text(Control::HWver), "HW version : 1.05");
  EXPECT_EQ(w.view.Text(Control::SWver), "SW version : 2.0A.03");
  EXPECT_EQ(w.view.Text(Control::ModelID), "Model ID : 1205    ABC");
  EXPECT_EQ(w.view.progressMax, 100);
  EXPECT_EQ(ReadFile("image.sgn"), file);
}

TEST_F(ImageCheck, PrefixedExactlyWhenLengthExceedsPrefixBy128) {
  // 132 bytes starting 00 00 00 04: prefixed, magic at 4, HwVersion at file offset 20.
  Bytes prefixed = Concat({B({0, 0, 0, 4}), ImageHeaderBytes({0, 1}, {0, 0, 3, 0x21})});
  prefixed.resize(132, 0);
  WriteFile("p.bin", prefixed);
  EXPECT_TRUE(Check("p.bin"));
  EXPECT_EQ(w.view.Text(Control::HWver), "HW version : 3.21");

  // The same bytes with the difference 127 or 129: plain, so the magic is looked for at 0.
  for (std::size_t length : {131u, 133u}) {
    Bytes plain = prefixed;
    plain.resize(length, 0);
    WriteFile("q.bin", plain);
    w.view.messages.clear();
    EXPECT_FALSE(Check("q.bin")) << length;
    ExpectInvalid();
  }
}

TEST_F(ImageCheck, OnlyContentCode00FEHidesTheVersions) {
  const std::pair<Bytes, bool> cases[] = {
      {B({0x00, 0xFE}), false}, {B({0x00, 0xFF}), true}, {B({0xFE, 0x00}), true}, {B({0x01, 0xFE}), true}};
  for (const auto& [code, versions] : cases) {
    WriteFile("i.bin", ImageHeaderBytes(code, {0, 0, 1, 5}, {0, 0, 2, 6}, {0, 0x0A}, "M"));
    EXPECT_TRUE(Check("i.bin"));
    EXPECT_EQ(w.view.Text(Control::HWver), versions ? "HW version : 1.05" : "HW version : ") << Hex(code);
    EXPECT_EQ(w.view.Text(Control::SWver), versions ? "SW version : 2.06" : "SW version : ");
    EXPECT_EQ(w.view.Text(Control::ModelID), versions ? "Model ID : 00A    M" : "Model ID : ");
  }
}

TEST_F(ImageCheck, WrongMagicKeepsEarlierTexts) {
  w.view.SetText(Control::HWver, "HW version : 9.99");
  Bytes file = ImageHeaderBytes();
  file[3] = 0xAB;
  WriteFile("x.bin", file);
  EXPECT_FALSE(Check("x.bin"));
  ExpectInvalid();
  EXPECT_EQ(w.view.Text(Control::HWver), "HW version : 9.99");
}

TEST_F(ImageCheck, FileEndingInsideItsHeaderIsInvalid) {
  Bytes header = ImageHeaderBytes();
  for (std::size_t length : {0u, 3u, 4u, 6u, 40u, 63u}) {
    w.view.messages.clear();
    WriteFile("short.bin", Bytes(header.begin(), header.begin() + static_cast<std::ptrdiff_t>(length)));
    EXPECT_FALSE(Check("short.bin")) << length;
    ExpectInvalid();
  }
  EXPECT_EQ(w.view.Text(Control::HWver), "");
}

TEST_F(ImageCheck, MissingFileIsInvalidAndNotCreated) {
  EXPECT_FALSE(Check("absent.bin"));
  ExpectInvalid();
  EXPECT_TRUE(Listing().empty());
}

TEST_F(ImageCheck, UnreadablePathShowsTheSystemError) {
  fs::create_directory("folder.bin");
  EXPECT_FALSE(Check("folder.bin"));
  ASSERT_EQ(w.view.messages.size(), 1u);
  EXPECT_EQ(w.view.messages[0].text, std::strerror(EISDIR));
  EXPECT_EQ(w.view.messages[0].title, "");
  EXPECT_EQ(w.view.messages[0].icon, Icon::Exclamation);
  EXPECT_EQ(w.view.messages[0].buttons, Buttons::OK);

  w.view.messages.clear();
  w.files.failOpen["locked.bin"] = EACCES;
  WriteFile("locked.bin", ImageHeaderBytes());
  EXPECT_FALSE(Check("locked.bin"));
  ASSERT_EQ(w.view.messages.size(), 1u);
  EXPECT_EQ(w.view.messages[0].text, std::strerror(EACCES));
}

}  // namespace
}  // namespace kelvane::test
