#pragma once

#include <array>
#include <functional>
#include <memory>

#include "model/configuration_values.h"
#include "ui/account_status.h"
#include "ui/background_account_check.h"
#include "ui/exchange_dialog.h"
#include "ui/main_dialog_logic.h"

class QCheckBox;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace pixolune::ui {

// What the main dialog reaches beyond its own controls; tests hand in fakes.
struct MainDialogServices {
    CancellableAccountChecker checkAccount;  // the account query, run off the dialog's thread
    std::function<AddressVerdict(QWidget*)> authorize;    // the login dialog
    DialogPrompts* prompts = nullptr;                     // message boxes when null
};

// The plug-in's configuration dialog. It edits `Values`, a copy of the
// settings, the feeds and the token; the caller takes them back after OK.
class CPixoluneDlg : public CExchangeDialog {
    Q_OBJECT

  public:
    CPixoluneDlg(QWidget* parent, int hostVariant, MainDialogServices services);

    ConfigurationValues Values;

    struct FeedRow {
        QCheckBox* check;
        QLabel* label;
        QLineEdit* maxFiles;
    };

    QCheckBox* enabledCheck;
    QLabel* folderLabel;
    QLineEdit* folderEdit;
    QPushButton* browseButton;
    QGroupBox* feedGroup;
    std::array<FeedRow, kFeedRowCount> feedRows;
    QLineEdit* tagsEdit;
    QLabel* minutesLabel;
    QLineEdit* minutesEdit;
    QLabel* minutesUnitLabel;
    QPushButton* settingsButton;
    QPushButton* authorizeButton;
    QPushButton* okButton;
    QPushButton* cancelButton;
    QPushButton* helpButton;
    QLabel* statusLabel;
    QCheckBox* photosCheck;
    QCheckBox* videosCheck;

    // True while an account check runs; its result is still to come.
    [[nodiscard]] bool AccountCheckRunning() const { return accountCheck_ != nullptr; }

    // Ends the dialog; a running account check is abandoned with it.
    void done(int result) override;

  protected:
    void OnInitDialog() override;
    bool DoDataExchange(bool saveAndValidate) override;
    void paintEvent(QPaintEvent* event) override;

  private slots:
    void onPluginEnabledClicked();
    void onFeedCheckClicked(int row);
    void onBrowseClicked();
    void onDownloadSettingsClicked();
    void onAuthorizeClicked();
    void onHelpClicked();

  private:
    void CreateControls();
    void CreateFeedRows();
    void CreateButtons();
    void BuildLayout();
    void SetControlSizes(const DialogUnits& du);
    void LayOutFeedGroup(const DialogUnits& du);
    [[nodiscard]] QHBoxLayout* FolderRow(const DialogUnits& du);
    [[nodiscard]] QHBoxLayout* MediaRow(const DialogUnits& du);
    [[nodiscard]] QHBoxLayout* MinutesRow();
    [[nodiscard]] QVBoxLayout* SettingsColumn(const DialogUnits& du);
    [[nodiscard]] QVBoxLayout* ButtonColumn(const DialogUnits& du);
    void NameControlsForAssistiveTools();
    void SetTabOrder();
    void ConnectCommands();

    void ApplyEnabling();
    void ApplyRowEnabling(int row);
    [[nodiscard]] MainEnabling Enabling() const;
    void ShowAccountStep(const AccountStep& step);

    void StartAccountCheck(const std::string& token);
    void onAccountChecked(const std::string& token, const AccountCheckResult& result);

    [[nodiscard]] MainDialogControls ReadControls() const;
    void WriteControls(const MainDialogControls& controls);
    [[nodiscard]] QWidget* ControlOf(const MainExchangeFailure& failure) const;

    int hostVariant_;
    MainDialogServices services_;
    AccountState account_;
    bool checkAfterFirstPaint_ = false;
    std::unique_ptr<BackgroundAccountCheck> accountCheck_;
};

}  // namespace pixolune::ui
