#pragma once
// The settings store on QSettings: per user under the organisation "Kelvane" and the
// application the caller names, or in one INI file of the caller's choosing, which is then the
// whole scope (a throwaway store for the demo and the tests). A section is a QSettings group.

#include <QString>
#include <memory>

#include "files/SettingsStore.h"

class QSettings;

namespace kelvane {

class QtSettingsStore final : public SettingsStore {
 public:
  QtSettingsStore();                                 // the user's own store
  explicit QtSettingsStore(const QString& iniFile);  // a store in that file
  ~QtSettingsStore() override;

  std::string Read(const std::string& app, const std::string& section, const std::string& key,
                   const std::string& def) const override;
  void Write(const std::string& app, const std::string& section, const std::string& key,
             const std::string& text) override;
  void WriteAll(const std::string& app, const std::string& section, const Values& values) override;

  QString FileName() const;  // where the values are kept

 private:
  std::unique_ptr<QSettings> Open(const std::string& app) const;
  QString iniFile_;  // empty: the user's store
};

}  // namespace kelvane
