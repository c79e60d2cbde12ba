#include "ui/download_settings_dialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
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
    setWindowTitle("Download Settings");
    restartCheck = new QCheckBox("Restart slideshow when all files have been downloaded", this);
    captionCheck = new QCheckBox("Add item &caption to description in kprop file", this);
    synchronizeRadio = new QRadioButton(
        "&Synchronize with feeds, remove all files no longer present on the server", this);
    olderRadio =
        new QRadioButton("&Remove files no longer present on server and older than:", this);
    daysEdit = new QLineEdit(this);
    daysLabel = new QLabel("&Days", this);
    okButton = new QPushButton("OK", this);
    cancelButton = new QPushButton("Cancel", this);
    ownerCheck = new QCheckBox("Add &owner name to description in kprop file", this);
    prefixLabel = new QLabel("&Prefix:", this);
    prefixEdit = new QLineEdit(this);
    hoursEdit = new QLineEdit(this);
    hoursLabel = new QLabel("&Hours", this);
    prefixLabel->setBuddy(prefixEdit);
    daysLabel->setBuddy(daysEdit);
    hoursLabel->setBuddy(hoursEdit);
    daysEdit->setAccessibleName("Days");
    hoursEdit->setAccessibleName("Hours");

    // One exclusive group, so that the arrow keys move between the two buttons
    // and select as they go. "None selected" is only ever loaded, never clicked.
    radioGroup_ = new QButtonGroup(this);
    radioGroup_->addButton(synchronizeRadio, 0);
    radioGroup_->addButton(olderRadio, 1);
    connect(radioGroup_, &QButtonGroup::idToggled, this, [this] { ApplyAgeEnabling(); });
    connect(ownerCheck, &QCheckBox::clicked, this, [this] { ApplyPrefixEnabling(); });
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    okButton->setDefault(true);
    cancelButton->setAutoDefault(false);

    BuildLayout();
    // Top to bottom as laid out.
    const std::initializer_list<QWidget*> order = {
        restartCheck, captionCheck, ownerCheck, prefixEdit, synchronizeRadio,
        olderRadio,   daysEdit,     hoursEdit,  okButton,   cancelButton};
    for (auto it = order.begin() + 1; it != order.end(); ++it) setTabOrder(*(it - 1), *it);
}

void CDwnlSettingsDlg::BuildLayout() {
    const DialogUnits du(*this);
    daysEdit->setFixedWidth(du.X(31));
    hoursEdit->setFixedWidth(du.X(24));
    prefixEdit->setMinimumWidth(du.X(60));
    okButton->setMinimumWidth(du.X(50));
    cancelButton->setMinimumWidth(du.X(50));

    auto* ownerRow = new QHBoxLayout;
    ownerRow->addWidget(ownerCheck);
    ownerRow->addSpacing(du.X(14));
    ownerRow->addWidget(prefixLabel);
    ownerRow->addWidget(prefixEdit);
    ownerRow->addStretch();

    auto* olderRow = new QHBoxLayout;
    olderRow->addWidget(olderRadio);
    olderRow->addWidget(daysEdit);
    olderRow->addWidget(daysLabel);
    olderRow->addSpacing(du.X(6));
    olderRow->addWidget(hoursEdit);
    olderRow->addWidget(hoursLabel);
    olderRow->addStretch();

    auto* synchronization = new QGroupBox("Synchronization", this);
    auto* groupLayout = new QVBoxLayout(synchronization);
    groupLayout->addWidget(synchronizeRadio);
    groupLayout->addLayout(olderRow);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(okButton);
    buttons->addSpacing(du.X(16));
    buttons->addWidget(cancelButton);
    buttons->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(restartCheck);
    layout->addWidget(captionCheck);
    layout->addLayout(ownerRow);
    layout->addWidget(synchronization);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void CDwnlSettingsDlg::OnInitDialog() {
    CExchangeDialog::OnInitDialog();
    ApplyAgeEnabling();
    ApplyPrefixEnabling();
}

int CDwnlSettingsDlg::SelectedRadio() const {
    if (synchronizeRadio->isChecked()) return 0;
    if (olderRadio->isChecked()) return 1;
    return -1;
}

DownloadEnabling CDwnlSettingsDlg::Enabling() const {
    return ComputeDownloadEnabling(SelectedRadio(), ownerCheck->isChecked());
}

void CDwnlSettingsDlg::ApplyAgeEnabling() {
    const bool enabled = Enabling().ageFields;
    for (QWidget* w : {static_cast<QWidget*>(daysEdit), static_cast<QWidget*>(daysLabel),
                       static_cast<QWidget*>(hoursEdit), static_cast<QWidget*>(hoursLabel)}) {
        w->setEnabled(enabled);
    }
}

void CDwnlSettingsDlg::ApplyPrefixEnabling() {
    const bool enabled = Enabling().prefix;
    prefixLabel->setEnabled(enabled);
    prefixEdit->setEnabled(enabled);
}

bool CDwnlSettingsDlg::DoDataExchange(bool saveAndValidate) {
    if (!saveAndValidate) {
        const DownloadSettingsControls c = LoadDownloadControls(Values);
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
        return true;
    }
    DownloadSettingsControls c;
    c.restart = restartCheck->isChecked();
    c.caption = captionCheck->isChecked();
    c.owner = ownerCheck->isChecked();
    c.days = FromQt(daysEdit->text());
    c.hours = FromQt(hoursEdit->text());
    c.selectedRadio = SelectedRadio();
    c.prefix = FromQt(prefixEdit->text());
    if (const auto failure = SaveDownloadControls(c, Values)) {
        QWidget* edit = failure->control == DownloadControl::Days ? daysEdit : hoursEdit;
        return FailOn(Enabling().ageFields ? edit : nullptr, failure->message);
    }
    return true;
}

}  // namespace pixolune::ui
