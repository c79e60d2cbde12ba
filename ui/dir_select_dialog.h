#pragma once

#include <QString>
#include <string>

class QWidget;

namespace pixolune::ui {

// The folder chooser behind "...": a directories-only picker that opens on the
// initial folder (or the current directory) and returns the chosen path with
// a trailing '/'.
class SECDirSelectDlg {
  public:
    SECDirSelectDlg(std::string prompt, std::string initialFolder, QWidget* owner = nullptr);

    // QDialog::Accepted when a folder was chosen.
    int DoModal();
    [[nodiscard]] const std::string& GetPath() const { return chosenPath_; }

  private:
    [[nodiscard]] bool Browse();

    std::string chosenPath_;
    QWidget* owner_;
    std::string prompt_;
    std::string initialFolder_;
};

}  // namespace pixolune::ui
