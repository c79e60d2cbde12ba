#pragma once

#include "ui/download_settings_logic.h"
#include "ui/exchange_dialog.h"

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace pixolune::ui {

// The download settings behind "Settings...": restart, sidecar contents and
// the removal of files that left the feeds.
class CDwnlSettingsDlg : public CExchangeDialog {
    Q_OBJECT

  public:
    explicit CDwnlSettingsDlg(QWidget* parent = nullptr, DialogPrompts* prompts = nullptr);

    // Filled by the caller before DoModal, read back after OK.
    DownloadSettingsValues Values;

    QCheckBox* restartCheck;
    QCheckBox* captionCheck;
    QRadioButton* synchronizeRadio;
    QRadioButton* olderRadio;
    QLineEdit* daysEdit;
    QLabel* daysLabel;
    QPushButton* okButton;
    QPushButton* cancelButton;
    QCheckBox* ownerCheck;
    QLabel* prefixLabel;
    QLineEdit* prefixEdit;
    QLineEdit* hoursEdit;
    QLabel* hoursLabel;

  protected:
    void OnInitDialog() override;
    bool DoDataExchange(bool saveAndValidate) override;

  private:
    void BuildLayout();
    void ApplyAgeEnabling();
    void ApplyPrefixEnabling();
    [[nodiscard]] int SelectedRadio() const;
    [[nodiscard]] DownloadEnabling Enabling() const;

    QButtonGroup* radioGroup_;
};

}  // namespace pixolune::ui
