#include "files/ImageFile.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/Rig.h"

namespace kelvane::test {
namespace {

TEST(ImageTexts, VersionShapesAndModelText) {
  struct Case {
    std::uint8_t b0, b1, b2, b3;
    const char* text;
  };
  // Byte 0 alone chooses the three-part shape and is not shown.
  for (const Case& c : {Case{0, 0, 1, 5, "1.05"}, Case{0, 2, 0x0A, 3, "2.0A.03"}, Case{7, 0, 3, 4, "0.03.04"},
                        Case{0, 1, 0, 0, "1.00.00"}, Case{0xFF, 0, 0, 0, "0.00.00"}})
    EXPECT_EQ(VersionText(kHwLabel, c.b0, c.b1, c.b2, c.b3), std::string("HW version : ") + c.text);
  Bytes text(32, 0);
  std::memcpy(text.data(), "ABC\0Z", 5);  // nothing after the first NUL is shown
  EXPECT_EQ(ModelText(0x00, 0x0A, text), "Model ID : 00A    ABC");
  EXPECT_EQ(ModelText(0x12, 0x05, Bytes(32, 'x')), "Model ID : 1205    " + std::string(32, 'x'));
  EXPECT_EQ(Latin1ToUtf8(Bytes{'C', 0xE9, 0xB0, 0xFF, 0x00}), "C\xC3\xA9\xC2\xB0\xC3\xBF");
}

// Runs the check on a file as the selection would.
struct ImageCheckRig : Window {
  bool Check(const std::string& name, const Bytes& content) {
    WriteFile(name, content);
    return Check(name);
  }
  bool Check(const std::string& name) {
    view.messages.clear();
    main.XferPath = name;
    main.FileNum = static_cast<std::int16_t>(files.FreeFile());
    const bool ok = CheckImage(main);
    EXPECT_FALSE(files.IsOpen(main.FileNum)) << "the check leaves its file open";
    if (!ok) { EXPECT_EQ(view.messages.at(0).buttons, Buttons::OK); }
    return ok;
  }
  void ExpectTexts(const std::string& hw, const std::string& sw, const std::string& model) {
    EXPECT_EQ(view.Text(Control::HWver), "HW version : " + hw);
    EXPECT_EQ(view.Text(Control::SWver), "SW version : " + sw);
    EXPECT_EQ(view.Text(Control::ModelID), "Model ID : " + model);
  }
};

TEST(ImageCheck, PrefixedExactlyWhenTheLengthExceedsThePrefixBy128) {
  ImageCheckRig w;
  Bytes prefixed = Concat({B({0, 0, 0, 4}), ImageHeaderBytes({0, 1}, {0, 0, 3, 0x21}), Bytes(64, 0xEE)});
  EXPECT_TRUE(w.Check("p.bin", prefixed));  // 132 bytes: the header at 4
  EXPECT_TRUE(w.view.messages.empty());
  w.ExpectTexts("3.21", "2.10", "1205    ABC");
  EXPECT_EQ(ReadFile("p.bin"), prefixed);
  for (std::size_t length : {131u, 133u}) {  // 127 or 129 more: plain, so the magic is looked for at 0
    prefixed.resize(length, 0);
    EXPECT_FALSE(w.Check("p.bin", prefixed)) << length;
    w.ExpectOnlyMessage("Invalid File format", "File Error", Icon::Critical);
  }
}

TEST(ImageCheck, OnlyContentCode00FEHidesTheTexts) {
  ImageCheckRig w;
  for (const Bytes& code : {B({0x00, 0xFE}), B({0x00, 0xFF}), B({0xFE, 0x00}), B({0x01, 0xFE})}) {
    SCOPED_TRACE(Hex(code));
    EXPECT_TRUE(w.Check("i.bin", ImageHeaderBytes(code, {0, 0, 1, 5}, {0, 2, 0x0A, 3}, {0, 0x0A}, "M")));
    if (code == B({0x00, 0xFE})) w.ExpectTexts("", "", "");
    else w.ExpectTexts("1.05", "2.0A.03", "00A    M");
  }
}

TEST(ImageCheck, ShortMissingOrWrongFilesAreRefusedAndNothingIsCreated) {
  ImageCheckRig w;
  w.view.SetText(Control::HWver, "HW version : 9.99");
  const Bytes header = ImageHeaderBytes();
  for (std::size_t length : {0u, 3u, 4u, 63u}) {
    EXPECT_FALSE(w.Check("short.bin", Bytes(header.begin(), header.begin() + long(length)))) << length;
    w.ExpectOnlyMessage("Invalid File format", "File Error", Icon::Critical);
    EXPECT_EQ(ReadFile("short.bin").size(), length);
  }
  Bytes wrongMagic = header;
  wrongMagic[3] = 0xAB;
  EXPECT_FALSE(w.Check("x.bin", wrongMagic));
  EXPECT_EQ(w.view.Text(Control::HWver), "HW version : 9.99") << "a refused file keeps the earlier texts";
  fs::remove("short.bin"), fs::remove("x.bin");
  EXPECT_FALSE(w.Check("absent.bin"));
  w.ExpectOnlyMessage("Invalid File format", "File Error", Icon::Critical);
  EXPECT_TRUE(w.dir.Empty());
  fs::create_directory("folder.bin");
  EXPECT_FALSE(w.Check("folder.bin"));
  w.ExpectOnlyMessage(std::strerror(EISDIR), "", Icon::Exclamation);
}

}  // namespace
}  // namespace kelvane::test
