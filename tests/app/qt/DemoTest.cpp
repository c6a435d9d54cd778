#include "app/qt/Demo.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <ostream>

namespace kelvane::test {
namespace {

// Where the demo's programs are found: the installed layout (one bin folder), the build tree
// (the window in src/, the programs in receiver/) and the PATH.
struct LookupCase {
  const char* name;
  std::vector<const char*> executables;  // made executable, relative to the test folder
  std::vector<const char*> plain = {};   // present but not executable
  const char* want = nullptr;            // the path found, relative; nullptr: none
};

void PrintTo(const LookupCase& c, std::ostream* os) { *os << c.name; }

class DemoLookup : public testing::TestWithParam<LookupCase> {};

TEST_P(DemoLookup, FindsTheProgramWhereTheInstallationOrTheBuildPutsIt) {
  const LookupCase& c = GetParam();
  QTemporaryDir root;
  const QDir dir(root.path());
  auto make = [&](const char* rel, bool executable) {
    const QString path = dir.filePath(rel);
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\n");
    f.close();
    if (executable) f.setPermissions(f.permissions() | QFile::ExeOwner);
  };
  for (const char* e : c.executables) make(e, true);
  for (const char* p : c.plain) make(p, false);
  ASSERT_TRUE(QDir().mkpath(dir.filePath("app/src")));

  const QString found = FindDemoProgram(dir.filePath("app/src"), "kelvane-receiver",
                                        {dir.filePath("path1"), dir.filePath("path2")});

  EXPECT_EQ(found, c.want ? QFileInfo(dir.filePath(c.want)).canonicalFilePath() : QString());
}

// clang-format off
const LookupCase kLookups[] = {
    {"BesideTheWindow", {"app/src/kelvane-receiver", "path1/kelvane-receiver"}, {}, "app/src/kelvane-receiver"},
    {"InTheBuildTree", {"app/receiver/kelvane-receiver", "path1/kelvane-receiver"}, {}, "app/receiver/kelvane-receiver"},
    {"NotExecutableIsPassedOver", {"path2/kelvane-receiver"}, {"app/src/kelvane-receiver", "path1/kelvane-receiver"}, "path2/kelvane-receiver"},
    {"Nowhere", {"app/src/kelvane-samples"}, {"path1/kelvane-receiver"}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Demo, DemoLookup, testing::ValuesIn(kLookups),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvane::test
