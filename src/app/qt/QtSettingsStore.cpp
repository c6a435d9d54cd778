#include "app/qt/QtSettingsStore.h"

#include <QSettings>
#include <QStringList>

#include "app/MainView.h"

namespace kelvane {

QtSettingsStore::QtSettingsStore() = default;
QtSettingsStore::QtSettingsStore(const QString& iniFile) : iniFile_(iniFile) {}
QtSettingsStore::~QtSettingsStore() = default;

std::unique_ptr<QSettings> QtSettingsStore::Open(const std::string& app) const {
  if (!iniFile_.isEmpty()) return std::make_unique<QSettings>(iniFile_, QSettings::IniFormat);
#ifdef _WIN32
  // The registry, HKEY_CURRENT_USER\Software\Kelvane: Windows' own place for settings.
  return std::make_unique<QSettings>("HKEY_CURRENT_USER\\Software\\" + QString::fromStdString(app),
                                     QSettings::NativeFormat);
#else
  return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, kAppName,
                                     QString::fromStdString(app));
#endif
}

QString QtSettingsStore::FileName() const { return Open(kAppName)->fileName(); }

std::string QtSettingsStore::Read(const std::string& app, const std::string& section,
                                  const std::string& key, const std::string& def) const {
  auto s = Open(app);
  s->beginGroup(QString::fromStdString(section));
  const QVariant v = s->value(QString::fromStdString(key));
  if (!v.isValid()) return def;
  // An INI value with an unquoted comma reads back as a list (a hand-edited path, say):
  // the text is what was written, commas included.
  if (v.typeId() == QMetaType::QStringList) return v.toStringList().join(',').toStdString();
  return v.toString().toStdString();
}

void QtSettingsStore::Write(const std::string& app, const std::string& section,
                            const std::string& key, const std::string& text) {
  WriteAll(app, section, {{key, text}});
}

void QtSettingsStore::WriteAll(const std::string& app, const std::string& section,
                               const Values& values) {
  // Each sync rewrites the whole file and waits for the disk: the values share one.
  auto s = Open(app);
  s->beginGroup(QString::fromStdString(section));
  for (const auto& [key, text] : values)
    s->setValue(QString::fromStdString(key), QString::fromStdString(text));
  s->endGroup();
  s->sync();
}

}  // namespace kelvane
