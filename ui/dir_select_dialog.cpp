#include "ui/dir_select_dialog.h"

#include <QDialog>
#include <QDir>
#include <QFileDialog>

#include "ui/folder_choice.h"

namespace pixolune::ui {

SECDirSelectDlg::SECDirSelectDlg(std::string prompt, std::string initialFolder, QWidget* owner)
    : owner_(owner), prompt_(std::move(prompt)), initialFolder_(std::move(initialFolder)) {}

int SECDirSelectDlg::DoModal() {
    return Browse() ? QDialog::Accepted : QDialog::Rejected;
}

bool SECDirSelectDlg::Browse() {
    const std::string start =
        ChooserStartFolder(initialFolder_, IsExistingFolder, QDir::currentPath().toStdString(),
                           QDir::homePath().toStdString());
    // The owner keeps the picker above the settings dialog on a desktop.
    const QString picked =
        QFileDialog::getExistingDirectory(owner_, QString::fromStdString(prompt_),
                                          QString::fromStdString(start), QFileDialog::ShowDirsOnly);
    const std::optional<std::string> chosen = ChosenFolder(picked.toStdString());
    if (!chosen) return false;
    chosenPath_ = *chosen;
    return true;
}

}  // namespace pixolune::ui
