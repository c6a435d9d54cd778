#include <gtest/gtest.h>

#include <cstring>

#include "files/FilesTestSupport.h"
#include "files/ImageFile.h"

namespace kelvane::test {
namespace {

class Selection : public TempDirTest {
 protected:
  void Upload() { w.main.SelectOption(Control::UpDot, true); }
  void Download() { w.main.SelectOption(Control::DownDot, true); }
  ShownMessage OnlyMessage() {
    EXPECT_EQ(w.view.messages.size(), 1u);
    return w.view.messages.empty() ? ShownMessage{} : w.view.messages.back();
  }
  Window w;
};

TEST_F(Selection, ChooserTitleAndFilterFollowModeAndType) {
  struct Case {
    bool upload;
    Control type;
    const char* title;
    const char* filter;
  };
  const Case cases[] = {
      {false, Control::ProgramDot, "Open DownLoad File",
       "Program Files (*.BIN)|*.bin|Signed Program Files (*.SGN)|*.sgn|All Files (*.*)|*.*"},
      {false, Control::SDXDot, "Open Download SDX File", "Program Files (*.SDX)|*.sdx|All Files (*.*)|*.*"},
      {false, Control::TemuDot, "Open Download Temu File",
       "Morvex Files (*.SGN)|*.sgn|Irdeto Files (*.Sd)|*.sd|Nagra Files (*.hsh)|*.hsh|Cryptoworks (*.pes)|*.pes|"
       "All Files (*.*)|*.*"},
      {true, Control::ProgramDot, "Open UpLoad File", "Program Files (*.BIN)|*.bin|All Files (*.*)|*.*"},
      {true, Control::SDXDot, "Open UpLoad File", "Program Files (*.BIN)|*.bin|All Files (*.*)|*.*"},
      {true, Control::TemuDot, "Open UpLoad File", "Program Files (*.BIN)|*.bin|All Files (*.*)|*.*"},
  };
  for (const auto& c : cases) {
    c.upload ? Upload() : Download();
    w.SelectType(c.type);
    w.main.Browse_Click();
    ASSERT_FALSE(w.view.chooserRequests.empty());
    EXPECT_EQ(w.view.chooserRequests.back().title, c.title);
    EXPECT_EQ(w.view.chooserRequests.back().filter, c.filter);
  }

  // With no TYPE selected under DownLoad the chooser keeps what it showed last.
  Download();
  w.SelectType(Control::SDXDot);
  w.main.Browse_Click();
  w.view.SetValue(Control::SDXDot, false);
  w.main.Browse_Click();
  EXPECT_EQ(w.view.chooserRequests.back().title, "Open Download SDX File");
}

TEST_F(Selection, CancelGivesStartBackOnlyForAnEarlierChoice) {
  w.SelectType(Control::TemuDot);
  w.main.Browse_Click();  // nothing chosen yet
  EXPECT_FALSE(w.StartEnabled());
  EXPECT_EQ(w.view.chooserRequests.at(0).initialName, "");

  WriteFile("card.pes", Bytes(10, 1));
  w.Choose("card.pes");
  w.main.Browse_Click();
  EXPECT_TRUE(w.StartEnabled());
  EXPECT_EQ(w.main.XferPath, "card.pes");
  EXPECT_EQ(w.main.ChosenPath, "card.pes");
  EXPECT_EQ(w.view.Text(Control::File), "card.pes");
  EXPECT_EQ(w.main.FileNum, 1);
  EXPECT_FALSE(w.files.IsOpen(1));

  w.main.Browse_Click();  // cancelled
  EXPECT_EQ(w.view.chooserRequests.back().initialName, "card.pes");
  EXPECT_TRUE(w.StartEnabled());
  EXPECT_EQ(w.main.FileNum, 0);
  EXPECT_EQ(w.main.XferPath, "card.pes");
  EXPECT_TRUE(w.view.messages.empty());

  w.Choose("");  // a choice without a name counts as a cancel
  w.main.Browse_Click();
  EXPECT_EQ(w.main.XferPath, "card.pes");
  EXPECT_TRUE(w.StartEnabled());
}

TEST_F(Selection, CancelAfterAModeChangeLeavesStartDisabled) {
  w.SelectType(Control::TemuDot);
  WriteFile("card.pes", Bytes(10, 1));
  w.Choose("card.pes");
  w.main.Browse_Click();
  ASSERT_TRUE(w.StartEnabled());

  Upload();
  w.main.Browse_Click();
  EXPECT_FALSE(w.StartEnabled());
  Download();  // back to the mode of the choice: still a new choice is needed
  w.main.Browse_Click();
  EXPECT_FALSE(w.StartEnabled());
}

TEST_F(Selection, BrowseClosesTheReservedFileNumber) {
  WriteFile("any", Bytes(1, 0));
  ASSERT_TRUE(w.files.Open(1, "any", OpenMode::Read));
  w.main.FileNum = 1;
  w.main.Browse_Click();
  EXPECT_FALSE(w.files.IsOpen(1));
  EXPECT_EQ(w.main.FileNum, 0);
}

TEST_F(Selection, ChooserFailureIsShownAsThePendingError) {
  w.view.chooserResults.push_back({ChooserResult::Outcome::Failed, "", "Dialog could not be created"});
  w.main.ChosenPath = "old.bin";
  w.main.Browse_Click();
  const auto m = OnlyMessage();
  EXPECT_EQ(m.text, "Dialog could not be created");
  EXPECT_EQ(m.icon, Icon::Exclamation);
  EXPECT_EQ(m.title, "");
  EXPECT_FALSE(w.StartEnabled());
  EXPECT_EQ(w.main.FileNum, 0);
  EXPECT_EQ(w.main.ChosenPath, "old.bin");
}

TEST_F(Selection, UploadToAnAbsentFileAsksNothing) {
  Upload();
  w.Choose("new.bin");
  w.main.Browse_Click();
  EXPECT_TRUE(w.view.messages.empty());
  EXPECT_EQ(w.view.Text(Control::File), "new.bin");
  EXPECT_EQ(w.main.ChosenPath, "new.bin");
  EXPECT_TRUE(w.StartEnabled());
  EXPECT_FALSE(fs::exists("new.bin"));
}

TEST_F(Selection, UploadReplaceYesDeletesTheFile) {
  Upload();
  WriteFile("old.bin", Bytes(10, 1));
  w.view.SetText(Control::File, "previous");
  w.Choose("old.bin");
  w.view.answers.push_back(Answer::Yes);
  w.main.Browse_Click();
  const auto m = OnlyMessage();
  EXPECT_EQ(m.text, "Replace existing file - old.bin?");
  EXPECT_EQ(m.buttons, Buttons::YesNoCancel);
  EXPECT_EQ(m.icon, Icon::Question);
  EXPECT_EQ(m.title, "");
  EXPECT_FALSE(fs::exists("old.bin"));
  EXPECT_TRUE(w.StartEnabled());
  EXPECT_EQ(w.view.Text(Control::File), "previous");
  EXPECT_EQ(w.main.FileNum, 1);
}

TEST_F(Selection, UploadReplaceNoReopensTheChooserWithThePath) {
  Upload();
  WriteFile("old.bin", Bytes(10, 1));
  w.Choose("old.bin");
  w.view.answers.push_back(Answer::No);
  w.Choose("fresh.bin");
  w.main.Browse_Click();
  ASSERT_EQ(w.view.chooserRequests.size(), 2u);
  EXPECT_EQ(w.view.chooserRequests[1].initialName, "old.bin");
  EXPECT_EQ(w.view.chooserRequests[1].title, "Open UpLoad File");
  EXPECT_TRUE(fs::exists("old.bin"));
  EXPECT_EQ(w.main.XferPath, "fresh.bin");
  EXPECT_EQ(w.view.Text(Control::File), "fresh.bin");
  EXPECT_TRUE(w.StartEnabled());
}

TEST_F(Selection, RefusedUploadTargetIsNeverMadeReady) {
  Upload();
  WriteFile("keep.bin", Bytes(10, 1));

  // No, then the chooser cancelled: the file the user would not replace is not armed.
  w.Choose("keep.bin");
  w.view.answers.push_back(Answer::No);
  w.main.Browse_Click();
  EXPECT_FALSE(w.StartEnabled());
  EXPECT_EQ(w.main.XferPath, "keep.bin");

  // Cancel: the paths are taken but Start stays disabled, also after a later cancel.
  w.Choose("keep.bin");
  w.view.answers.push_back(Answer::Cancel);
  w.main.Browse_Click();
  EXPECT_FALSE(w.StartEnabled());
  EXPECT_EQ(w.main.XferPath, "keep.bin");
  EXPECT_EQ(w.main.ChosenPath, "keep.bin");
  EXPECT_EQ(w.main.FileNum, 1);
  w.main.Browse_Click();
  EXPECT_FALSE(w.StartEnabled());
  EXPECT_TRUE(fs::exists("keep.bin"));
}

TEST_F(Selection, FailedDeletionIsShown) {
  Upload();
  WriteFile("old.bin", Bytes(10, 1));
  w.files.failDelete["old.bin"] = EACCES;
  w.Choose("old.bin");
  w.view.answers.push_back(Answer::Yes);
  w.main.Browse_Click();
  ASSERT_EQ(w.view.messages.size(), 2u);
  EXPECT_EQ(w.view.messages[1].text, std::strerror(EACCES));
  EXPECT_EQ(w.view.messages[1].icon, Icon::Exclamation);
  EXPECT_FALSE(w.StartEnabled());
}

TEST_F(Selection, ProgramImageIsCheckedAfterTheFileBoxIsSet) {
  WriteFile("good.bin", ImageHeaderBytes());
  w.Choose("good.bin");
  w.main.Browse_Click();
  EXPECT_TRUE(w.StartEnabled());
  EXPECT_EQ(w.view.Text(Control::HWver), "HW version : 1.05");
  EXPECT_EQ(w.view.Text(Control::File), "good.bin");

  WriteFile("bad.bin", Bytes(100, 0));
  w.Choose("bad.bin");
  w.main.Browse_Click();
  EXPECT_EQ(OnlyMessage().text, "Invalid File format");
  EXPECT_FALSE(w.StartEnabled());
  EXPECT_EQ(w.view.Text(Control::File), "bad.bin");
  EXPECT_EQ(w.main.ChosenPath, "bad.bin");
  EXPECT_EQ(w.main.FileNum, 1);
  EXPECT_FALSE(w.files.IsOpen(1));
  EXPECT_EQ(w.view.Text(Control::HWver), "HW version : 1.05");

  // The rejected image is not armed again by a cancelled chooser.
  w.main.Browse_Click();
  EXPECT_FALSE(w.StartEnabled());

  // A typed name of an absent file: rejected, and not created.
  w.Choose("typed.bin");
  w.main.Browse_Click();
  EXPECT_FALSE(fs::exists("typed.bin"));
  EXPECT_FALSE(w.StartEnabled());
}

TEST_F(Selection, SdxListIsConvertedAndTheContainerIsSent) {
  w.SelectType(Control::SDXDot);
  WriteFile("astra.sdx", SdxRecordBytes("MPG2", "011", "778", '0', "27500"));
  w.Choose("astra.sdx");
  w.main.Browse_Click();
  EXPECT_EQ(w.main.XferPath, "satcodx.tm1");
  EXPECT_EQ(w.main.ChosenPath, "astra.sdx");
  EXPECT_EQ(w.view.Text(Control::File), "astra.sdx");
  EXPECT_EQ(ReadFile("satcodx.tm1").size(), 192u);
  EXPECT_TRUE(w.StartEnabled());
  EXPECT_FALSE(w.view.busy);
  EXPECT_TRUE(w.view.messages.empty());

  // The chooser opens on XferPath, which now names the container.
  w.main.Browse_Click();
  EXPECT_EQ(w.view.chooserRequests.back().initialName, "satcodx.tm1");
}

TEST_F(Selection, FailedSdxConversionLeavesStartDisabled) {
  w.SelectType(Control::SDXDot);
  w.Choose("missing.sdx");
  w.main.Browse_Click();
  EXPECT_EQ(OnlyMessage().text, std::strerror(ENOENT));
  EXPECT_FALSE(w.StartEnabled());
  EXPECT_FALSE(w.view.busy);
  EXPECT_EQ(w.main.XferPath, "missing.sdx");
  EXPECT_FALSE(fs::exists("satcodx.tm1"));
  EXPECT_FALSE(fs::exists("missing.sdx"));
  // The raw list is never armed for sending by a later cancel.
  w.main.Browse_Click();
  EXPECT_FALSE(w.StartEnabled());

  w.view.messages.clear();
  WriteFile("astra.sdx", SdxRecordBytes("MPG2", "011", "778", '0', "27500"));
  w.files.writeLimit["satcodx.tm1"] = 10;
  w.Choose("astra.sdx");
  w.main.Browse_Click();
  EXPECT_EQ(OnlyMessage().text, std::strerror(ENOSPC));
  EXPECT_FALSE(w.StartEnabled());
  EXPECT_FALSE(fs::exists("satcodx.tm1"));
}

TEST_F(Selection, ModeChangeDuringTheConversionMakesTheChoiceStale) {
  w.SelectType(Control::SDXDot);
  WriteFile("astra.sdx", SdxRecordBytes("MPG2", "011", "778", '0', "27500"));
  w.Choose("astra.sdx");
  bool changed = false;
  w.view.onPump = [&] {
    if (!changed) w.main.SelectOption(Control::UpDot, true);
    changed = true;
  };
  w.main.Browse_Click();
  EXPECT_FALSE(w.StartEnabled());
  EXPECT_FALSE(w.view.busy);
}

}  // namespace
}  // namespace kelvane::test
