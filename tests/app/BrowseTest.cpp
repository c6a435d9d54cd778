#include <gtest/gtest.h>

#include <cstring>

#include "support/Rig.h"

namespace kelvane::test {
namespace {

struct SelectionRig : Window {
  void Mode(Control m) { main.SelectOption(m, true); }
  void Browse(const std::string& chosen, std::deque<Answer> answers = {}) {
    Choose(chosen);
    view.answers = std::move(answers);
    main.Browse_Click();
  }
};

TEST(Selection, ChooserTitleFollowsModeAndTypeAndStaysWithNoTypeSelected) {
  SelectionRig w;
  for (auto [mode, type, title] :
       {std::tuple{Control::DownDot, Control::SDXDot, "Open Download SDX File"},
        {Control::UpDot, Control::TemuDot, "Open UpLoad File"},
        {Control::DownDot, Control::Status, "Open UpLoad File"}}) {
    w.Mode(mode);
    w.view.SetValue(Control::TemuDot, false);
    w.view.SetValue(type, true);
    w.main.Browse_Click();
    EXPECT_EQ(w.view.chooserRequests.back().title, title);
  }
}

TEST(Selection, CancelGivesStartBackOnlyForAChoiceUnderTheCurrentMode) {
  SelectionRig w;
  w.view.SetValue(Control::TemuDot, true);
  w.view.chooserResults.push_back(
      {ChooserResult::Outcome::Failed, "", "Dialog could not be created"});
  w.main.Browse_Click();  // the chooser's own error is shown as the pending one
  w.ExpectOnlyMessage("Dialog could not be created", "", Icon::Exclamation);
  w.main.Browse_Click();  // cancelled, nothing chosen yet
  EXPECT_FALSE(w.StartEnabled());
  w.view.messages.clear();
  WriteFile("card.pes", Bytes(10, 1));
  w.Browse("card.pes");
  EXPECT_TRUE(w.StartEnabled());
  EXPECT_EQ(w.view.Text(Control::File), "card.pes");
  w.Browse("");  // a choice without a name counts as a cancel
  EXPECT_EQ(w.view.chooserRequests.back().initialName, "card.pes");
  EXPECT_TRUE(w.StartEnabled());
  EXPECT_EQ(w.main.XferPath, "card.pes");
  w.Mode(Control::UpDot), w.Mode(Control::DownDot), w.main.Browse_Click();
  EXPECT_FALSE(w.StartEnabled()) << "back to the mode of the choice: still a new one is needed";
  EXPECT_TRUE(w.view.messages.empty());
}

TEST(Selection, UploadAsksBeforeReplacingAnExistingFile) {
  using K = Outcome::Kind;
  struct Case {
    const char* name;
    std::deque<Answer> answers;
    bool consented, ready;  // Yes to the question: consent only, the file stays
    std::string path;
    Outcome::Kind outcome;
  };
  const Case cases[] = {{"absent", {}, false, true, "new.bin", K::Ready},
                        {"no, then another name", {Answer::No}, false, true, "fresh.bin", K::Ready},
                        {"yes", {Answer::Yes}, true, true, "old.bin", K::Ready},
                        {"no, then cancel", {Answer::No}, false, false, "old.bin", K::Cancelled},
                        {"cancel", {Answer::Cancel}, false, false, "old.bin", K::ReplaceDeclined}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SelectionRig w;
    w.Mode(Control::UpDot);
    WriteFile("old.bin", Bytes(10, 1));
    if (c.path == "fresh.bin") w.Choose("old.bin");
    w.Browse(c.path, c.answers);
    EXPECT_EQ(w.view.messages.size(), c.answers.size());
    for (const auto& m : w.view.messages)
      EXPECT_EQ(m.text + (m.buttons == Buttons::YesNoCancel ? "?" : ""),
                "Replace existing file - old.bin??");
    EXPECT_EQ(ReadFile("old.bin"), Bytes(10, 1)) << "nothing is deleted or emptied by the choice";
    EXPECT_EQ(std::distance(fs::directory_iterator("."), {}), 1) << "nothing is created";
    EXPECT_EQ(w.StartEnabled(), c.ready);
    EXPECT_EQ(w.main.XferPath, c.path);
    EXPECT_EQ(w.main.LastSelection().kind, c.outcome);
    if (c.answers == std::deque{Answer::No}) {
      EXPECT_EQ(w.view.chooserRequests.at(1).initialName, "old.bin");
    }
    if (c.ready) {
      EXPECT_EQ(w.view.Text(Control::File), c.consented ? "" : c.path);
    }
    w.main.Browse_Click();  // a refused target is not armed by a later cancel either
    EXPECT_EQ(w.StartEnabled(), c.ready);
  }
}

TEST(Selection, ProgramImageIsCheckedAfterTheFileBoxIsSet) {
  SelectionRig w;
  WriteFile("good.bin", ImageHeaderBytes());
  w.Browse("good.bin");
  EXPECT_TRUE(w.StartEnabled());
  WriteFile("bad.bin", Bytes(100, 0));
  w.Browse("bad.bin");
  w.ExpectOnlyMessage("Invalid File format", "File Error", Icon::Critical);
  EXPECT_EQ(w.main.LastSelection().kind, Outcome::Kind::InvalidFile);
  EXPECT_EQ(w.view.Text(Control::File) + ", " + w.view.Text(Control::HWver),
            "bad.bin, ");  // nothing of the good image stays on show
  w.main.Browse_Click();   // not armed again by a cancelled chooser
  EXPECT_FALSE(w.StartEnabled());
}

TEST(Selection, SdxListIsConvertedAndTheContainerIsSent) {
  SelectionRig w;
  w.view.SetValue(Control::SDXDot, true);
  WriteFile("channels.sdx", Sdx("011", "778", '0'));
  w.Browse("channels.sdx");
  EXPECT_EQ(w.main.XferPath + " " + w.main.ChosenPath + " " + w.view.Text(Control::File),
            "satcodx.tm1 channels.sdx channels.sdx");
  EXPECT_TRUE(w.StartEnabled());
  w.main.Browse_Click();  // the chooser opens on the list, not on the container
  EXPECT_EQ(w.view.chooserRequests.back().initialName, "channels.sdx");
  const Bytes converted = ReadFile(kTempContainer);
  w.Browse("missing.sdx");  // a failed conversion
  w.ExpectOnlyMessage(std::strerror(ENOENT), "", Icon::Exclamation);
  EXPECT_FALSE(w.StartEnabled());
  EXPECT_FALSE(w.view.busy) << "the busy cursor goes after a failure too";
  EXPECT_EQ(ReadFile(kTempContainer), converted) << "the earlier result is kept";
  w.main.Browse_Click();  // the raw list is never armed by a later cancel
  EXPECT_FALSE(w.StartEnabled());
  w.view.onPump = [&] { w.main.SelectOption(Control::UpDot, true); };  // the mode changes meanwhile
  w.Browse("channels.sdx");
  EXPECT_FALSE(w.StartEnabled());
  EXPECT_EQ(w.main.LastSelection().kind, Outcome::Kind::Cancelled) << "a stale choice is no choice";
}

TEST(Selection, AChangeOfTypeAsksForTheFileAgainAndOnlyAFittingOneIsOffered) {
  SelectionRig w;
  WriteFile("good.bin", ImageHeaderBytes());
  WriteFile("card.sgn", Bytes(10, 1));
  w.Browse("good.bin");
  ASSERT_EQ(w.view.Text(Control::HWver), "HW version : 1.05");
  w.main.SelectOption(Control::TemuDot, true);
  EXPECT_EQ(w.view.Text(Control::File) + w.view.Text(Control::HWver) + w.view.Text(Control::SWver) +
                w.view.Text(Control::ModelID),
            "");
  EXPECT_FALSE(w.StartEnabled());
  w.main.Browse_Click();  // cancelled: the image was no Temu choice
  EXPECT_EQ(w.view.chooserRequests.back().initialName, "");
  EXPECT_FALSE(w.StartEnabled());
  w.main.SelectOption(Control::ProgramDot, true);
  w.Browse("good.bin");
  w.Browse("card.sgn");  // a new choice under the same TYPE: the texts go with the old one
  w.ExpectOnlyMessage("Invalid File format", "File Error", Icon::Critical);
  EXPECT_EQ(w.view.Text(Control::SWver), "");
  w.view.messages.clear();
  w.main.SelectOption(Control::TemuDot, true);
  w.Browse("card.sgn");
  w.main.Browse_Click();  // cancelled: the Temu file is offered again and stands
  EXPECT_EQ(w.view.chooserRequests.back().initialName, "card.sgn");
  EXPECT_TRUE(w.StartEnabled());
  EXPECT_TRUE(w.view.messages.empty());
}

}  // namespace
}  // namespace kelvane::test
