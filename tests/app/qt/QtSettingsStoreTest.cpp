#include "app/qt/QtSettingsStore.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "app/MainView.h"

namespace kelvane::test {
namespace {

TEST(SettingsStore, ValuesReadBackExactlyAsWrittenAcrossInstances) {
  QTemporaryDir dir;
  const QString file = dir.filePath("kelvane.ini");
  {
    QtSettingsStore store(file);
    EXPECT_EQ(store.Read(kAppName, "Startup", "Mode", ""), "");  // never written
    EXPECT_EQ(store.Read(kAppName, "Startup", "Mode", "def"), "def");
    store.Write(kAppName, "Startup", "Mode", "2");
    store.Write(kAppName, "Startup", "FileName", "/data/a,b; c=d \"q\".bin");
    store.Write(kAppName, "Ports", "COM1", "/dev/serial/by-id/usb-x-if00");
    store.Write(kAppName, "Startup", "Mode", "1");  // replaces
  }
  QtSettingsStore again(file);
  EXPECT_EQ(again.Read(kAppName, "Startup", "Mode", ""), "1");
  EXPECT_EQ(again.Read(kAppName, "Startup", "FileName", ""), "/data/a,b; c=d \"q\".bin");
  EXPECT_EQ(again.Read(kAppName, "Ports", "COM1", ""), "/dev/serial/by-id/usb-x-if00");
  EXPECT_EQ(again.Read(kAppName, "Ports", "Mode", ""), "");  // sections are apart
}

TEST(SettingsStore, AHandEditedValueWithCommasReadsAsItsText) {
  QTemporaryDir dir;
  const QString file = dir.filePath("kelvane.ini");
  QFile f(file);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("[Startup]\nFileName=/data/one,two.bin\nComPort=2.0\n");
  f.close();
  QtSettingsStore store(file);
  EXPECT_EQ(store.Read(kAppName, "Startup", "FileName", ""), "/data/one,two.bin");
  EXPECT_EQ(store.Read(kAppName, "Startup", "ComPort", ""), "2.0");
}

}  // namespace
}  // namespace kelvane::test
