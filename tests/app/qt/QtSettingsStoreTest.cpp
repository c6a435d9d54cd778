#include "app/qt/QtSettingsStore.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "app/MainView.h"

namespace kelvane::test {
namespace {

TEST(SettingsStore, ValuesReadBackExactlyAsWrittenAcrossInstancesAndAsHandEdited) {
  QTemporaryDir dir;
  const QString file = dir.filePath("kelvane.ini");
  {
    QtSettingsStore store(file);
    EXPECT_EQ(store.Read(kAppName, "Startup", "Mode", "def"), "def");  // never written
    store.Write(kAppName, "Startup", "Mode", "2");
    store.WriteAll(kAppName, "Startup",
                   {{"FileName", "/data/a,b; c=d \"q\".bin"}, {"Type", "3"}});  // at once
    store.Write(kAppName, "Startup", "Mode", "1");                              // replaces
  }
  QtSettingsStore again(file);
  EXPECT_EQ(again.Read(kAppName, "Startup", "Mode", ""), "1");
  EXPECT_EQ(again.Read(kAppName, "Startup", "FileName", ""), "/data/a,b; c=d \"q\".bin");
  EXPECT_EQ(again.Read(kAppName, "Startup", "Type", ""), "3");
  EXPECT_EQ(again.Read(kAppName, "Ports", "Mode", ""), "");  // sections are apart

  QFile f(dir.filePath("edited.ini"));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("[Startup]\nFileName=/data/one,two.bin\nComPort=2.0\n");
  f.close();
  QtSettingsStore edited(f.fileName());
  EXPECT_EQ(edited.Read(kAppName, "Startup", "FileName", ""), "/data/one,two.bin");  // not a list
  EXPECT_EQ(edited.Read(kAppName, "Startup", "ComPort", ""), "2.0");
}

}  // namespace
}  // namespace kelvane::test
