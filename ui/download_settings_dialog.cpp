#include "ui/download_settings_dialog.h"

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
    restartCheck = new QCheckBox(tr("Restart slideshow when all files have been downloaded"), this);
    captionCheck = new QCheckBox(tr("Add item &caption to description in kprop file"), this);
    synchronizeRadio = new QRadioButton(
        tr("&Synchronize with feeds, remove all files no longer present on the server"), this);
    olderRadio =
        new QRadioButton(tr("&Remove files no longer present on server and older than:"), this);
    daysEdit = new QLineEdit(this);
    daysLabel = new QLabel(tr("&Days"), this);
    okButton = new QPushButton(tr("OK"), this);
    cancelButton = new QPushButton(tr("Cancel"), this);
    ownerCheck = new QCheckBox(tr("Add &owner name to description in kprop file"), this);
    prefixLabel = new QLabel(tr("&Prefix:"), this);
    prefixEdit = new QLineEdit(this);
    hoursEdit = new QLineEdit(this);
    hoursLabel = new QLabel(tr("&Hours"), this);
    rateLabel = new QLabel(tr("&Limit downloads to"), this);
    rateEdit = new QLineEdit(this);
    rateUnitLabel = new QLabel(tr("KB/s, 0 = no limit"), this);
    quietFromLabel = new QLabel(tr("&Quiet hours from"), this);
    quietFromEdit = new QLineEdit(this);
    quietToLabel = new QLabel(tr("&to"), this);
    quietToEdit = new QLineEdit(this);
    // Enter presses the focused button, and OK from anywhere else.
    okButton->setDefault(true);
}

void CDwnlSettingsDlg::NameControls() {
    prefixLabel->setBuddy(prefixEdit);
    daysLabel->setBuddy(daysEdit);
    hoursLabel->setBuddy(hoursEdit);
    daysEdit->setAccessibleName(tr("Days"));
    hoursEdit->setAccessibleName(tr("Hours"));
    rateLabel->setBuddy(rateEdit);
    quietFromLabel->setBuddy(quietFromEdit);
    quietToLabel->setBuddy(quietToEdit);
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

    auto* group = new QGroupBox(tr("Synchronization"), this);
    auto* groupLayout = new QVBoxLayout(group);
    groupLayout->addWidget(synchronizeRadio);
    groupLayout->addLayout(olderRow);
    return group;
}

QGroupBox* CDwnlSettingsDlg::LineSharingGroup(const DialogUnits& du) {
    rateEdit->setFixedWidth(du.X(40));
    quietFromEdit->setFixedWidth(du.X(20));
    quietToEdit->setFixedWidth(du.X(20));
    auto* rateRow = new QHBoxLayout;
    rateRow->addWidget(rateLabel);
    rateRow->addWidget(rateEdit);
    rateRow->addWidget(rateUnitLabel);
    rateRow->addStretch();
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

// Top to bottom as laid out.
void CDwnlSettingsDlg::SetTabOrder() {
    ChainTabOrder({restartCheck, captionCheck, ownerCheck, prefixEdit, synchronizeRadio, olderRadio,
                   daysEdit, hoursEdit, rateEdit, quietFromEdit, quietToEdit, okButton,
                   cancelButton});
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
    c.restart = restartCheck->isChecked();
    c.caption = captionCheck->isChecked();
    c.owner = ownerCheck->isChecked();
    c.days = FromQt(daysEdit->text());
    c.hours = FromQt(hoursEdit->text());
    c.selectedRadio = radioGroup_->checkedId();  // -1 when none is selected
    c.prefix = FromQt(prefixEdit->text());
    c.rateKB = FromQt(rateEdit->text());
    c.quietFrom = FromQt(quietFromEdit->text());
    c.quietTo = FromQt(quietToEdit->text());
    return c;
}

void CDwnlSettingsDlg::WriteControls(const DownloadSettingsControls& c) {
    restartCheck->setChecked(c.restart);
    captionCheck->setChecked(c.caption);
    ownerCheck->setChecked(c.owner);
    daysEdit->setText(ToQt(c.days));
    hoursEdit->setText(ToQt(c.hours));
    // An exclusive group refuses to clear its checked button; loading "none" must.
    radioGroup_->setExclusive(false);
    synchronizeRadio->setChecked(c.selectedRadio == 0);
    olderRadio->setChecked(c.selectedRadio == 1);
    radioGroup_->setExclusive(true);
    prefixEdit->setText(ToQt(c.prefix));
    rateEdit->setText(ToQt(c.rateKB));
    quietFromEdit->setText(ToQt(c.quietFrom));
    quietToEdit->setText(ToQt(c.quietTo));
}

QWidget* CDwnlSettingsDlg::EditOf(DownloadControl control) const {
    switch (control) {
        case DownloadControl::Days:
            return Enabling().ageFields ? daysEdit : nullptr;
        case DownloadControl::Hours:
            return Enabling().ageFields ? hoursEdit : nullptr;
        case DownloadControl::RateKB:
            return rateEdit;
        case DownloadControl::QuietFrom:
            return quietFromEdit;
        case DownloadControl::QuietTo:
            return quietToEdit;
    }
    return nullptr;
}

bool CDwnlSettingsDlg::DoDataExchange(bool saveAndValidate) {
    if (!saveAndValidate) {
        WriteControls(LoadDownloadControls(Values));
        return true;
    }
    if (const auto failure = SaveDownloadControls(ReadControls(), Values))
        return FailOn(EditOf(failure->control), failure->message);
    return true;
}

}  // namespace pixolune::ui
