#include "ui/main_dialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "generated/pixolune_version.h"
#include "model/media_folder_rule.h"
#include "ui/dialog_texts.h"
#include "ui/dir_select_dialog.h"
#include "ui/download_settings_dialog.h"
#include "ui/folder_choice.h"

namespace pixolune::ui {
namespace {

// The kinds' labels, translated where the rows are made.
QString FeedLabel(int row) {
    return Tr(kFeedKinds[row].label);
}

}  // namespace

CPixoluneDlg::CPixoluneDlg(QWidget* parent, int hostVariant, MainDialogServices services)
    : CExchangeDialog(parent, services.prompts),
      hostVariant_(hostVariant),
      services_(std::move(services)) {
    setWindowTitle(tr("Pixolune PlugIn %1.%2.%3")
                       .arg(PIXOLUNE_VERSION_MAJOR)
                       .arg(PIXOLUNE_VERSION_MINOR)
                       .arg(PIXOLUNE_VERSION_PATCH));
    CreateControls();
    NameControlsForAssistiveTools();
    BuildLayout();
    SetTabOrder();
    ConnectCommands();
}

void CPixoluneDlg::CreateControls() {
    // Mnemonics where the letters do not clash; the texts themselves are kept word for word.
    enabledCheck = new QCheckBox(LabelOf(kRowOf<&DialogSettings::Enabled>), this);
    folderLabel = new QLabel(LabelOf(kRowOf<&DialogSettings::ImgFolder>), this);
    folderEdit = new QLineEdit(this);
    feedGroup = new QGroupBox(tr("Choose media files you want to see from Pixolune"), this);
    CreateFeedRows();
    minutesLabel = new QLabel(LabelOf(kRowOf<&DialogSettings::tmUpdate>), this);
    minutesEdit = new QLineEdit(this);
    minutesUnitLabel = new QLabel(UnitOf(kRowOf<&DialogSettings::tmUpdate>), this);
    statusLabel = new QLabel(tr("Static"), this);
    statusLabel->setAlignment(Qt::AlignCenter);
    statusLabel->setWordWrap(true);
    photosCheck = new QCheckBox(LabelOf(kRowOf<&DialogSettings::DwlPhoto>), this);
    videosCheck = new QCheckBox(LabelOf(kRowOf<&DialogSettings::DwlVideo>), this);
    CreateButtons();
}

void CPixoluneDlg::CreateFeedRows() {
    for (int row = 0; row < kFeedRowCount; ++row) {
        feedRows[row] = {new QCheckBox(FeedLabel(row), feedGroup),
                         new QLabel(tr("Max N. of files:"), feedGroup), new QLineEdit(feedGroup)};
    }
    tagsEdit = new QLineEdit(feedGroup);
}

void CPixoluneDlg::CreateButtons() {
    browseButton = new QPushButton(tr("..."), this);
    settingsButton = new QPushButton(tr("&Settings..."), this);
    authorizeButton = new QPushButton(tr("&Authorize..."), this);
    okButton = new QPushButton(tr("OK"), this);
    cancelButton = new QPushButton(tr("Cancel"), this);
    helpButton = new QPushButton(tr("Help"), this);
    // OK is the default; every button stays auto-default, so that Enter
    // presses the button that has the focus and OK from anywhere else.
    okButton->setDefault(true);
}

void CPixoluneDlg::BuildLayout() {
    const DialogUnits du(*this);
    SetControlSizes(du);
    LayOutFeedGroup(du);
    auto* layout = new QHBoxLayout(Content());
    layout->addLayout(SettingsColumn(du), 1);
    layout->addSpacing(du.X(14));
    layout->addLayout(ButtonColumn(du));
}

void CPixoluneDlg::SetControlSizes(const DialogUnits& du) {
    folderEdit->setMinimumWidth(du.X(318));
    // Narrow as in the template, but wide enough for a longer (translated) text.
    const int browseText = browseButton->fontMetrics().horizontalAdvance(browseButton->text());
    browseButton->setFixedWidth(
        std::max({du.X(15), browseButton->sizeHint().height(), browseText + du.X(8)}));
    for (FeedRow& row : feedRows) row.maxFiles->setFixedWidth(du.X(29) + du.X(10));
    tagsEdit->setMinimumWidth(du.X(243));
    minutesEdit->setFixedWidth(du.X(40) + du.X(10));
    for (QPushButton* button :
         {settingsButton, authorizeButton, okButton, cancelButton, helpButton}) {
        button->setMinimumWidth(du.X(54));
    }
    // Two lines of the status text at its dialog-unit width.
    statusLabel->setMinimumWidth(du.X(334));
    statusLabel->setMinimumHeight(du.Y(20) + du.Y(4));
}

void CPixoluneDlg::LayOutFeedGroup(const DialogUnits& du) {
    auto* rows = new QGridLayout(feedGroup);
    for (int row = 0; row < kFeedRowCount; ++row) {
        rows->addWidget(feedRows[row].check, row, 0);
        rows->addWidget(feedRows[row].label, row, 2);
        rows->addWidget(feedRows[row].maxFiles, row, 3);
    }
    rows->setColumnMinimumWidth(1, du.X(12));
    rows->setColumnStretch(1, 1);
    auto* tagsRow = new QHBoxLayout;
    tagsRow->addSpacing(du.X(18));
    tagsRow->addWidget(tagsEdit);
    rows->addLayout(tagsRow, kFeedRowCount, 0, 1, 4);
}

QHBoxLayout* CPixoluneDlg::FolderRow(const DialogUnits& du) {
    auto* row = new QHBoxLayout;
    row->setSpacing(du.X(1));
    row->addWidget(folderEdit, 1);
    row->addWidget(browseButton);
    return row;
}

QHBoxLayout* CPixoluneDlg::MediaRow(const DialogUnits& du) {
    auto* row = new QHBoxLayout;
    row->addWidget(photosCheck);
    row->addSpacing(du.X(7));
    row->addWidget(videosCheck);
    row->addStretch();
    return row;
}

QHBoxLayout* CPixoluneDlg::MinutesRow() {
    auto* row = new QHBoxLayout;
    row->addWidget(minutesLabel);
    row->addWidget(minutesEdit);
    row->addWidget(minutesUnitLabel);
    row->addStretch();
    return row;
}

QVBoxLayout* CPixoluneDlg::SettingsColumn(const DialogUnits& du) {
    auto* groupRow = new QHBoxLayout;
    groupRow->addWidget(feedGroup);
    groupRow->addStretch();

    auto* column = new QVBoxLayout;
    column->addWidget(enabledCheck);
    column->addWidget(folderLabel);
    column->addLayout(FolderRow(du));
    column->addLayout(groupRow);
    column->addLayout(MediaRow(du));
    column->addSpacing(du.Y(4));
    column->addLayout(MinutesRow());
    column->addSpacing(du.Y(6));
    column->addWidget(statusLabel);
    return column;
}

QVBoxLayout* CPixoluneDlg::ButtonColumn(const DialogUnits& du) {
    auto* column = new QVBoxLayout;
    column->addWidget(okButton);
    column->addWidget(cancelButton);
    column->addSpacing(du.Y(14));
    column->addWidget(helpButton);
    column->addStretch();
    column->addWidget(settingsButton);
    column->addSpacing(du.Y(14));
    column->addWidget(authorizeButton);
    return column;
}

void CPixoluneDlg::NameControlsForAssistiveTools() {
    folderLabel->setBuddy(folderEdit);
    minutesLabel->setBuddy(minutesEdit);
    minutesUnitLabel->setBuddy(minutesEdit);
    browseButton->setAccessibleName(Tr(kTextSelectFolder));
    for (int row = 0; row < kFeedRowCount; ++row) {
        feedRows[row].label->setBuddy(feedRows[row].maxFiles);
        // Five edits share one label text; the row's name tells them apart.
        feedRows[row].maxFiles->setAccessibleName(
            tr("%1 Max N. of files").arg(FeedLabel(row).remove(':')));
    }
    tagsEdit->setAccessibleName(tr("Tags"));
    tagsEdit->setPlaceholderText(Tr(kTextTagsPlaceholder));
    tagsEdit->setToolTip(Tr(kTextTagsPlaceholder));
    statusLabel->setAccessibleName(tr("Account"));
    // Stable names for scripts and tests that find the controls from outside.
    enabledCheck->setObjectName("enabledCheck");
    folderEdit->setObjectName("folderEdit");
    minutesEdit->setObjectName("minutesEdit");
    photosCheck->setObjectName("photosCheck");
    videosCheck->setObjectName("videosCheck");
    statusLabel->setObjectName("statusLabel");
    okButton->setObjectName("okButton");
    cancelButton->setObjectName("cancelButton");
}

// Top to bottom as laid out: the settings column, then the buttons on the right.
void CPixoluneDlg::SetTabOrder() {
    std::vector<QWidget*> order = {enabledCheck, folderEdit, browseButton};
    for (const FeedRow& row : feedRows) {
        order.push_back(row.check);
        order.push_back(row.maxFiles);
    }
    order.insert(order.end(), {tagsEdit, photosCheck, videosCheck, minutesEdit, okButton,
                               cancelButton, helpButton, settingsButton, authorizeButton});
    ChainTabOrder(order);
}

void CPixoluneDlg::ConnectCommands() {
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(enabledCheck, &QCheckBox::clicked, this, &CPixoluneDlg::onPluginEnabledClicked);
    for (int row = 0; row < kFeedRowCount; ++row) {
        connect(feedRows[row].check, &QCheckBox::clicked, this,
                [this, row] { onFeedCheckClicked(row); });
    }
    connect(browseButton, &QPushButton::clicked, this, &CPixoluneDlg::onBrowseClicked);
    connect(settingsButton, &QPushButton::clicked, this, &CPixoluneDlg::onDownloadSettingsClicked);
    connect(authorizeButton, &QPushButton::clicked, this, &CPixoluneDlg::onAuthorizeClicked);
    connect(helpButton, &QPushButton::clicked, this, &CPixoluneDlg::onHelpClicked);
}

void CPixoluneDlg::onHelpClicked() {
    Prompts().Inform(this, Tr(kTextHelp));
}

void CPixoluneDlg::OnInitDialog() {
    CExchangeDialog::OnInitDialog();
    account_ = InitialAccountState(Values.Token);
    statusLabel->setText(Tr(account_.status));
    // The check waits until the dialog has been painted, so that the user
    // sees the dialog, and what is being checked, first.
    checkAfterFirstPaint_ = NeedsDeferredAccountCheck(Values.Token);
    ApplyEnabling();
}

void CPixoluneDlg::paintEvent(QPaintEvent* event) {
    CExchangeDialog::paintEvent(event);
    if (!checkAfterFirstPaint_) return;
    checkAfterFirstPaint_ = false;
    QMetaObject::invokeMethod(
        this, [this] { StartAccountCheck(account_.token); }, Qt::QueuedConnection);
}

void CPixoluneDlg::done(int result) {
    checkAfterFirstPaint_ = false;
    accountCheck_.reset();
    statusLabel->unsetCursor();
    CExchangeDialog::done(result);
}

MainEnabling CPixoluneDlg::Enabling() const {
    std::array<bool, kFeedRowCount> checked{};
    for (int row = 0; row < kFeedRowCount; ++row) checked[row] = feedRows[row].check->isChecked();
    return ComputeMainEnabling(enabledCheck->isChecked(), HasToken(account_.token), hostVariant_,
                               checked);
}

void CPixoluneDlg::onPluginEnabledClicked() {
    ApplyEnabling();
}

void CPixoluneDlg::onFeedCheckClicked(int row) {
    ApplyRowEnabling(row);
}

void CPixoluneDlg::ApplyEnabling() {
    const MainEnabling e = Enabling();
    SetEnabled({folderLabel, folderEdit, browseButton, minutesLabel, minutesEdit, minutesUnitLabel,
                settingsButton, authorizeButton},
               e.folderAndTiming);
    SetEnabled({photosCheck, videosCheck}, e.mediaKinds);
    for (int row = 0; row < kFeedRowCount; ++row) {
        feedRows[row].check->setEnabled(e.feedChecks);
        ApplyRowEnabling(row);
    }
}

void CPixoluneDlg::ApplyRowEnabling(int row) {
    const bool enabled = Enabling().rowFields[row];
    SetEnabled({feedRows[row].label, feedRows[row].maxFiles}, enabled);
    if (kFeedKinds[row].takesTags) tagsEdit->setEnabled(enabled);
}

void CPixoluneDlg::ShowAccountStep(const AccountStep& step) {
    if (step.message) Prompts().Inform(this, Tr(*step.message));
    account_ = step.state;
    Values.Token = account_.token;
    statusLabel->setText(Tr(account_.status));
    ApplyEnabling();
}

void CPixoluneDlg::StartAccountCheck(const std::string& token) {
    accountCheck_.reset();  // a newer token replaces a check still running
    account_.token = token;
    statusLabel->setText(Tr(kTextCheckingAccount));
    statusLabel->setCursor(Qt::WaitCursor);
    ApplyEnabling();
    accountCheck_ = std::make_unique<BackgroundAccountCheck>(
        services_.checkAccount, token, this,
        [this, token](const AccountCheckResult& result) { onAccountChecked(token, result); });
}

void CPixoluneDlg::onAccountChecked(const std::string& token, const AccountCheckResult& result) {
    accountCheck_.reset();  // its thread has already handed over and ends
    statusLabel->unsetCursor();
    ShowAccountStep(AccountStepFor(token, result));
}

void CPixoluneDlg::onAuthorizeClicked() {
    const AddressVerdict ending = services_.authorize(this);
    if (auto step = AuthorizeStepWithoutCheck(ending, account_)) {
        ShowAccountStep(*step);
        return;
    }
    StartAccountCheck(ending.token);
}

void CPixoluneDlg::onDownloadSettingsClicked() {
    CDwnlSettingsDlg dialog(this, &Prompts());
    // The whole record goes and comes back: only the settings that dialog edits can differ.
    DialogSettings& settings = Values;
    dialog.Values = settings;
    if (dialog.DoModal() == QDialog::Accepted) settings = dialog.Values;
}

void CPixoluneDlg::onBrowseClicked() {
    SECDirSelectDlg chooser(FromQt(Tr(kTextSelectFolder)), FromQt(folderEdit->text()), this);
    if (chooser.DoModal() == QDialog::Accepted) folderEdit->setText(ToQt(chooser.GetPath()));
}

MainDialogControls CPixoluneDlg::ReadControls() const {
    MainDialogControls c;
    c.pluginEnabled = enabledCheck->isChecked();
    c.folder = FromQt(folderEdit->text());
    c.minutes = FromQt(minutesEdit->text());
    for (int row = 0; row < kFeedRowCount; ++row) {
        c.rows[row] = {feedRows[row].check->isChecked(), FromQt(feedRows[row].maxFiles->text())};
    }
    c.tags = FromQt(tagsEdit->text());
    c.photos = photosCheck->isChecked();
    c.videos = videosCheck->isChecked();
    return c;
}

void CPixoluneDlg::WriteControls(const MainDialogControls& c) {
    enabledCheck->setChecked(c.pluginEnabled);
    folderEdit->setText(ToQt(c.folder));
    minutesEdit->setText(ToQt(c.minutes));
    for (int row = 0; row < kFeedRowCount; ++row) {
        feedRows[row].check->setChecked(c.rows[row].checked);
        feedRows[row].maxFiles->setText(ToQt(c.rows[row].maxFiles));
    }
    tagsEdit->setText(ToQt(c.tags));
    photosCheck->setChecked(c.photos);
    videosCheck->setChecked(c.videos);
}

QWidget* CPixoluneDlg::ControlOf(const MainExchangeFailure& failure) const {
    switch (failure.control) {
        case MainControl::PluginEnabled:
            return enabledCheck;
        case MainControl::Folder:
            return folderEdit;
        case MainControl::Minutes:
            return minutesEdit;
        case MainControl::FeedMaxFiles:
            return feedRows[failure.row].maxFiles;
        case MainControl::Tags:
            return tagsEdit;
        case MainControl::Photos:
            return photosCheck;
        case MainControl::Videos:
            return videosCheck;
    }
    return nullptr;
}

bool CPixoluneDlg::DoDataExchange(bool saveAndValidate) {
    if (!saveAndValidate) {
        WriteControls(LoadMainControls(Values));
        return true;
    }
    const auto confirm = [this](const std::string& text) {
        return Prompts().Confirm(this, Tr(text.c_str()));
    };
    const auto folderProblem = [](const std::string& path) {
        return MediaFolderProblem(platform::RealFileSystem(), path);
    };
    const MainEnabling enabling = Enabling();
    if (const auto failure =
            SaveMainControls(ReadControls(), Values, enabling, confirm, folderProblem)) {
        const bool focusable = IsEnabledByRules(enabling, failure->control, failure->row);
        return FailOn(focusable ? ControlOf(*failure) : nullptr, failure->message);
    }
    Values.Token = account_.token;
    return true;
}

}  // namespace pixolune::ui
