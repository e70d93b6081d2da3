// The application object: start-up in its fixed order, the single-instance guard, the tool
// registry, the main window, loading the driver, and what is put back at exit.
#pragma once

#include <QString>
#include <memory>

#include "shell/tool_registry.h"

namespace kvt {

class CMainFrame;
class HardwareSession;
class SingleInstance;

inline constexpr const char* kSettingsOrganisation = "Local AppWizard-Generated Applications";
inline constexpr const char* kSettingsApplication = "Korvanta";
inline constexpr const char* kLoadDriverFailed = "Error! Load driver failed!";

class CKorvantaApp {
  public:
    CKorvantaApp();
    ~CKorvantaApp();

    // Runs the program; returns the process exit status. A QApplication must exist.
    int Run(const QStringList& arguments);

    CMainFrame* mainFrame() const { return frame_.get(); }
    const ToolRegistry& registry() const { return registry_; }

  private:
    int Start(const QStringList& arguments);

    ToolRegistry registry_;
    std::unique_ptr<SingleInstance> instance_;
    std::unique_ptr<HardwareSession> session_;
    std::unique_ptr<CMainFrame> frame_;
    QString savedCaption_;
};

}  // namespace kvt
