#include "ui/configuration_dialog.h"

#include <QWindow>
#include <memory>

#include "ui/account_check.h"
#include "ui/authorize_dialog.h"
#include "ui/dialog_translations.h"
#include "ui/main_dialog.h"
#include "ui/qt_application.h"

namespace pixolune::ui {
namespace {

// The host hands over a native window; the dialog stays above it.
std::unique_ptr<QWindow> ForeignOwner(intptr_t ownerWindow) {
    if (ownerWindow == 0) return nullptr;
    return std::unique_ptr<QWindow>(QWindow::fromWinId(static_cast<WId>(ownerWindow)));
}

void SetOwnerWindow(CPixoluneDlg& dialog, QWindow* owner) {
    if (!owner) return;
    dialog.winId();  // creates the dialog's own window handle
    if (QWindow* own = dialog.windowHandle()) own->setTransientParent(owner);
}

}  // namespace

bool RunConfigurationDialog(ConfigurationValues& values, int hostVariant, intptr_t ownerWindow) {
    if (!EnsureQtApplication()) return false;
    const DialogTranslations translations;  // the user's language, while the dialogs are up
    MainDialogServices services;
    services.checkAccount = ServiceAccountChecker();
    services.authorize = [hostVariant](QWidget* parent) {
        return RunAuthorizeDialog(hostVariant, parent);
    };
    const std::unique_ptr<QWindow> owner = ForeignOwner(ownerWindow);  // outlives the dialog
    CPixoluneDlg dialog(nullptr, hostVariant, std::move(services));
    SetOwnerWindow(dialog, owner.get());
    dialog.Values = values;
    if (dialog.DoModal() != QDialog::Accepted) return false;
    values = dialog.Values;
    return true;
}

}  // namespace pixolune::ui
