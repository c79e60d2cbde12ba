#include "ui/download_settings_dialog.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace pixolune::ui {

CDwnlSettingsDlg::CDwnlSettingsDlg(QWidget* parent, DialogPrompts* prompts)
    : CExchangeDialog(parent, prompts) {
    setWindowTitle(tr("Download Settings"));
    CreateControls();
    NameControls();
    GroupRadioButtons();
    BuildLayout();
    SetTabOrder();
    ConnectCommands();
}

void CDwnlSettingsDlg::CreateControls() {
    restartCheck = CheckFor(kRowOf<&DialogSettings::RestartKal>);
    captionCheck = CheckFor(kRowOf<&DialogSettings::KpropTitle>);
    synchronizeRadio = new QRadioButton(
        tr("&Synchronize with feeds, remove all files no longer present on the server"), this);
    olderRadio =
        new QRadioButton(tr("&Remove files no longer present on server and older than:"), this);
    daysEdit = EditFor(kRowOf<&DialogSettings::OlderDays>);
    daysLabel = LabelFor(kRowOf<&DialogSettings::OlderDays>, daysEdit);
    okButton = new QPushButton(tr("OK"), this);
    cancelButton = new QPushButton(tr("Cancel"), this);
    ownerCheck = CheckFor(kRowOf<&DialogSettings::KpropOwner>);
    prefixEdit = EditFor(kRowOf<&DialogSettings::AuthPrefix>);
    prefixLabel = LabelFor(kRowOf<&DialogSettings::AuthPrefix>, prefixEdit);
    hoursEdit = EditFor(kRowOf<&DialogSettings::OlderHours>);
    hoursLabel = LabelFor(kRowOf<&DialogSettings::OlderHours>, hoursEdit);
    rateEdit = EditFor(kRowOf<&DialogSettings::MaxRateKB>);
    quietFromEdit = EditFor(kRowOf<&DialogSettings::QuietFrom>);
    quietFromLabel = LabelFor(kRowOf<&DialogSettings::QuietFrom>, quietFromEdit);
    quietToEdit = EditFor(kRowOf<&DialogSettings::QuietTo>);
    quietToLabel = LabelFor(kRowOf<&DialogSettings::QuietTo>, quietToEdit);
    // Enter presses the focused button, and OK from anywhere else.
    okButton->setDefault(true);
}

// The exchange goes through the controls made here alone; each is named after
// its setting's key, for scripts and tests.
QCheckBox* CDwnlSettingsDlg::CheckFor(const SettingRow& setting) {
    auto* check = new QCheckBox(LabelOf(setting), this);
    check->setObjectName(setting.key);
    checks_[setting.key] = check;
    return check;
}

QLineEdit* CDwnlSettingsDlg::EditFor(const SettingRow& setting) {
    auto* edit = new QLineEdit(this);
    edit->setObjectName(setting.key);
    edits_[setting.key] = edit;
    return edit;
}

QLabel* CDwnlSettingsDlg::LabelFor(const SettingRow& setting, QLineEdit* edit) {
    auto* label = new QLabel(LabelOf(setting), this);
    label->setBuddy(edit);
    return label;
}

QHBoxLayout* CDwnlSettingsDlg::EditRow(const SettingRow& setting, QLineEdit* edit) {
    auto* row = new QHBoxLayout;
    row->addWidget(LabelFor(setting, edit));
    row->addWidget(edit);
    if (*setting.texts.unit) row->addWidget(new QLabel(UnitOf(setting), this));
    row->addStretch();
    return row;
}

void CDwnlSettingsDlg::NameControls() {
    daysEdit->setAccessibleName(tr("Days"));
    hoursEdit->setAccessibleName(tr("Hours"));
    rateEdit->setAccessibleName(tr("Limit downloads to, KB/s"));
    quietFromEdit->setAccessibleName(tr("Quiet hours from"));
    quietToEdit->setAccessibleName(tr("Quiet hours to"));
}

// One exclusive group, so that the arrow keys move between the two buttons
// and select as they go. "None selected" is only ever loaded, never clicked.
void CDwnlSettingsDlg::GroupRadioButtons() {
    radioGroup_ = new QButtonGroup(this);
    radioGroup_->addButton(synchronizeRadio, 0);
    radioGroup_->addButton(olderRadio, 1);
    constexpr const SettingRow& synchronization = kRowOf<&DialogSettings::FeedsSynch>;
    radioGroup_->setObjectName(synchronization.key);
    choices_[synchronization.key] = radioGroup_;
}

void CDwnlSettingsDlg::BuildLayout() {
    const DialogUnits du(*this);
    auto* layout = new QVBoxLayout(Content());
    layout->addWidget(restartCheck);
    layout->addWidget(captionCheck);
    layout->addLayout(OwnerRow(du));
    layout->addWidget(SynchronizationGroup(du));
    layout->addWidget(LineSharingGroup(du));
    layout->addLayout(ButtonRow(du));
}

QHBoxLayout* CDwnlSettingsDlg::OwnerRow(const DialogUnits& du) {
    prefixEdit->setMinimumWidth(du.X(60));
    auto* row = new QHBoxLayout;
    row->addWidget(ownerCheck);
    row->addSpacing(du.X(14));
    row->addWidget(prefixLabel);
    row->addWidget(prefixEdit);
    row->addStretch();
    return row;
}

QGroupBox* CDwnlSettingsDlg::SynchronizationGroup(const DialogUnits& du) {
    daysEdit->setFixedWidth(du.X(31));
    hoursEdit->setFixedWidth(du.X(24));
    auto* olderRow = new QHBoxLayout;
    olderRow->addWidget(olderRadio);
    olderRow->addWidget(daysEdit);
    olderRow->addWidget(daysLabel);
    olderRow->addSpacing(du.X(6));
    olderRow->addWidget(hoursEdit);
    olderRow->addWidget(hoursLabel);
    olderRow->addStretch();

    auto* group = new QGroupBox(LabelOf(kRowOf<&DialogSettings::FeedsSynch>), this);
    auto* groupLayout = new QVBoxLayout(group);
    groupLayout->addWidget(synchronizeRadio);
    groupLayout->addLayout(olderRow);
    return group;
}

QGroupBox* CDwnlSettingsDlg::LineSharingGroup(const DialogUnits& du) {
    rateEdit->setFixedWidth(du.X(40));
    quietFromEdit->setFixedWidth(du.X(20));
    quietToEdit->setFixedWidth(du.X(20));
    QHBoxLayout* rateRow = EditRow(kRowOf<&DialogSettings::MaxRateKB>, rateEdit);
    auto* quietRow = new QHBoxLayout;
    quietRow->addWidget(quietFromLabel);
    quietRow->addWidget(quietFromEdit);
    quietRow->addWidget(quietToLabel);
    quietRow->addWidget(quietToEdit);
    quietRow->addWidget(new QLabel(tr("(hours 0-23; the same hour twice: none)"), this));
    quietRow->addStretch();

    auto* group = new QGroupBox(tr("Sharing the line"), this);
    auto* groupLayout = new QVBoxLayout(group);
    groupLayout->addLayout(rateRow);
    groupLayout->addLayout(quietRow);
    return group;
}

QHBoxLayout* CDwnlSettingsDlg::ButtonRow(const DialogUnits& du) {
    okButton->setMinimumWidth(du.X(50));
    cancelButton->setMinimumWidth(du.X(50));
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(okButton);
    row->addSpacing(du.X(16));
    row->addWidget(cancelButton);
    row->addStretch();
    return row;
}

void CDwnlSettingsDlg::SetTabOrder() {
    ChainTabOrder(FocusOrderOf(Content()->layout()));
}

void CDwnlSettingsDlg::ConnectCommands() {
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(radioGroup_, &QButtonGroup::idToggled, this,
            &CDwnlSettingsDlg::onSynchronizationChoiceToggled);
    connect(ownerCheck, &QCheckBox::clicked, this, &CDwnlSettingsDlg::onOwnerClicked);
}

void CDwnlSettingsDlg::onSynchronizationChoiceToggled() {
    ApplyAgeEnabling();
}

void CDwnlSettingsDlg::onOwnerClicked() {
    ApplyPrefixEnabling();
}

void CDwnlSettingsDlg::OnInitDialog() {
    CExchangeDialog::OnInitDialog();
    ApplyAgeEnabling();
    ApplyPrefixEnabling();
}

DownloadEnabling CDwnlSettingsDlg::Enabling() const {
    return ComputeDownloadEnabling(radioGroup_->checkedId(), ownerCheck->isChecked());
}

void CDwnlSettingsDlg::ApplyAgeEnabling() {
    SetEnabled({daysEdit, daysLabel, hoursEdit, hoursLabel}, Enabling().ageFields);
}

void CDwnlSettingsDlg::ApplyPrefixEnabling() {
    SetEnabled({prefixLabel, prefixEdit}, Enabling().prefix);
}

DownloadSettingsControls CDwnlSettingsDlg::ReadControls() const {
    DownloadSettingsControls c;
    for (const auto& [key, box] : checks_) c.checks[key] = box->isChecked();
    for (const auto& [key, group] : choices_) c.choices[key] = group->checkedId();  // -1: none
    for (const auto& [key, edit] : edits_) c.edits[key] = FromQt(edit->text());
    return c;
}

void CDwnlSettingsDlg::WriteControls(const DownloadSettingsControls& c) {
    for (const auto& [key, box] : checks_) box->setChecked(c.checks.at(key));
    for (const auto& [key, group] : choices_) {
        const int id = c.choices.at(key);
        // An exclusive group refuses to clear its checked button; loading "none" must.
        group->setExclusive(false);
        for (QAbstractButton* button : group->buttons())
            button->setChecked(group->id(button) == id);
        group->setExclusive(true);
    }
    for (const auto& [key, edit] : edits_) edit->setText(ToQt(c.edits.at(key)));
}

QWidget* CDwnlSettingsDlg::EditOf(const SettingRow& setting) const {
    const auto found = edits_.find(setting.key);
    return found != edits_.end() ? found->second : nullptr;
}

bool CDwnlSettingsDlg::DoDataExchange(bool saveAndValidate) {
    if (!saveAndValidate) {
        WriteControls(LoadDownloadControls(Values));
        return true;
    }
    if (const auto failure = SaveDownloadControls(ReadControls(), Values))
        return FailOn(EditOf(*failure->setting), failure->message);
    return true;
}

}  // namespace pixolune::ui
