#pragma once

#include <map>
#include <string>

#include "model/plugin_settings.h"
#include "ui/download_settings_logic.h"
#include "ui/exchange_dialog.h"

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace pixolune::ui {

// The download settings behind "Settings...": restart, sidecar contents, the
// removal of files that left the feeds, and how the downloads share the line
// (a rate cap and quiet hours).
class CDwnlSettingsDlg : public CExchangeDialog {
    Q_OBJECT

  public:
    explicit CDwnlSettingsDlg(QWidget* parent = nullptr, DialogPrompts* prompts = nullptr);

    // Filled by the caller before DoModal. After OK the settings this dialog
    // edits (its rows of kSettings) hold the user's choice; the others are as handed in.
    DialogSettings Values;

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
    QLineEdit* rateEdit;
    QLabel* quietFromLabel;
    QLineEdit* quietFromEdit;
    QLabel* quietToLabel;
    QLineEdit* quietToEdit;

  protected:
    void OnInitDialog() override;
    bool DoDataExchange(bool saveAndValidate) override;

  private slots:
    void onSynchronizationChoiceToggled();
    void onOwnerClicked();

  private:
    void CreateControls();
    void NameControls();
    void GroupRadioButtons();
    // A setting's control, made and bound to its row: a new setting of this
    // dialog is its row of kSettings and one of these where the layout puts it.
    [[nodiscard]] QCheckBox* CheckFor(const SettingRow& setting);
    [[nodiscard]] QLineEdit* EditFor(const SettingRow& setting);
    // The row's label, naming `edit`.
    [[nodiscard]] QLabel* LabelFor(const SettingRow& setting, QLineEdit* edit);
    // The row's label, `edit` and the row's unit, left-aligned on a line of their own.
    [[nodiscard]] QHBoxLayout* EditRow(const SettingRow& setting, QLineEdit* edit);
    void BuildLayout();
    [[nodiscard]] QHBoxLayout* OwnerRow(const DialogUnits& du);
    [[nodiscard]] QGroupBox* SynchronizationGroup(const DialogUnits& du);
    [[nodiscard]] QGroupBox* LineSharingGroup(const DialogUnits& du);
    [[nodiscard]] QWidget* EditOf(const SettingRow& setting) const;
    [[nodiscard]] QHBoxLayout* ButtonRow(const DialogUnits& du);
    void SetTabOrder();  // top to bottom as laid out
    void ConnectCommands();

    void ApplyAgeEnabling();
    void ApplyPrefixEnabling();
    [[nodiscard]] DownloadEnabling Enabling() const;

    [[nodiscard]] DownloadSettingsControls ReadControls() const;
    void WriteControls(const DownloadSettingsControls& controls);

    QButtonGroup* radioGroup_;  // the two radio buttons, ids 0 and 1 as in FeedsSynch
    // The control of each setting, by its key.
    std::map<std::string, QCheckBox*> checks_;
    std::map<std::string, QButtonGroup*> choices_;
    std::map<std::string, QLineEdit*> edits_;
};

}  // namespace pixolune::ui
