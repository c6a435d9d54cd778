#include "files/ImageFile.h"

#include <gtest/gtest.h>

#include "support/Rig.h"

namespace kelvane::test {
namespace {

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
    ImageTexts texts{"HW version : 9.99", "", ""};  // a refused file leaves them alone
    const Outcome result = CheckImage(files, main.FileNum, main.XferPath, texts);
    ShowOutcome(view, result);
    view.SetText(Control::HWver, texts.hw), view.SetText(Control::SWver, texts.sw);
    view.SetText(Control::ModelID, texts.model);
    EXPECT_FALSE(files.IsOpen(main.FileNum)) << "the check leaves its file open";
    return result.kind == Outcome::Kind::Ready;
  }
  void ExpectTexts(const std::string& hw, const std::string& sw, const std::string& model) {
    EXPECT_EQ(view.Text(Control::HWver) + "|" + view.Text(Control::SWver) + "|" +
                  view.Text(Control::ModelID),
              "HW version : " + hw + "|SW version : " + sw + "|Model ID : " + model);
  }
};

TEST(ImageCheck, PrefixedExactlyWhenTheLengthExceedsThePrefixBy128) {
  ImageCheckRig w;
  // The model text ends at the first NUL, and 8-bit characters are Latin-1.
  const auto header = ImageHeaderBytes({0, 1}, {0, 0, 0x10, 0x21}, {0, 0, 2, 0x10}, {0x12, 5},
                                       std::string("A\x80\xE9\0Z", 5));
  Bytes prefixed = Concat({B({0, 0, 0, 4}), header, Bytes(64, 0xEE)});
  EXPECT_TRUE(w.Check("p.bin", prefixed));  // 132 bytes: the header at 4
  w.ExpectTexts("10.21", "2.10", "1205    A\xC2\x80\xC3\xA9");
  for (std::size_t length : {131u, 133u}) {  // 127 or 129 more: plain, the magic looked for at 0
    prefixed.resize(length, 0);
    EXPECT_FALSE(w.Check("p.bin", prefixed)) << length;
    w.ExpectOnlyMessage("Invalid File format", "File Error", Icon::Critical);
  }
}

TEST(ImageCheck, OnlyContentCode00FEHidesTheTexts) {
  ImageCheckRig w;
  for (const Bytes& code : {B({0x00, 0xFE}), B({0x00, 0xFF}), B({0xFE, 0x00}), B({0x01, 0xFE})}) {
    SCOPED_TRACE(Hex(code));
    // Bytes 0 and 1 of a version choose its three-part shape; byte 0 is not shown.
    EXPECT_TRUE(w.Check("i.bin", ImageHeaderBytes(code, {7, 0, 3, 4}, {0, 2, 0x0A, 3}, {0, 0x0A},
                                                  std::string(32, 'M'))));
    if (code == B({0x00, 0xFE}))
      w.ExpectTexts("", "", "");
    else
      w.ExpectTexts("0.03.04", "2.0A.03", "00A    " + std::string(32, 'M'));
  }
}

TEST(ImageCheck, ShortMissingOrWrongFilesAreRefusedAndNothingIsCreated) {
  ImageCheckRig w;
  const Bytes header = ImageHeaderBytes();
  for (std::size_t length : {0u, 3u, 4u, 63u}) {
    EXPECT_FALSE(w.Check("short.bin", Bytes(header.begin(), header.begin() + long(length))))
        << length;
    w.ExpectOnlyMessage("Invalid File format", "File Error", Icon::Critical);
    EXPECT_EQ(ReadFile("short.bin").size(), length);
  }
  Bytes wrongMagic = header;
  wrongMagic[3] = 0xAB;
  EXPECT_FALSE(w.Check("x.bin", wrongMagic));
  EXPECT_EQ(w.view.Text(Control::HWver), "HW version : 9.99") << "a refused file sets no texts";
  fs::remove("short.bin"), fs::remove("x.bin");
  EXPECT_FALSE(w.Check("absent.bin"));
  w.ExpectOnlyMessage("Invalid File format", "File Error", Icon::Critical);
  EXPECT_TRUE(fs::is_empty("."));
}

}  // namespace
}  // namespace kelvane::test
