#include "ui/main_dialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "generated/pixolune_version.h"
#include "ui/dialog_texts.h"
#include "ui/dir_select_dialog.h"
#include "ui/download_settings_dialog.h"
#include "ui/folder_choice.h"

namespace pixolune::ui {
namespace {

constexpr std::array<const char*, kFeedRowCount> kFeedLabels = {
    "My Feed", "My Photos/Videos", "Popular", "Photos/Videos I like", "Photos/Videos with tags:"};

QString Caption() {
    return QString("Pixolune PlugIn %1.%2.%3")
        .arg(PIXOLUNE_VERSION_MAJOR)
        .arg(PIXOLUNE_VERSION_MINOR)
        .arg(PIXOLUNE_VERSION_PATCH);
}

DownloadSettingsValues DownloadPart(const ConfigurationValues& v) {
    return {v.RestartKal, v.KpropTitle, v.KpropOwner, v.OlderDays,
            v.OlderHours, v.FeedsSynch, v.AuthPrefix};
}

void TakeDownloadPart(const DownloadSettingsValues& d, ConfigurationValues& v) {
    v.RestartKal = d.RestartKal;
    v.KpropTitle = d.KpropTitle;
    v.KpropOwner = d.KpropOwner;
    v.OlderDays = d.OlderDays;
    v.OlderHours = d.OlderHours;
    v.FeedsSynch = d.FeedsSynch;
    v.AuthPrefix = d.AuthPrefix;
}

}  // namespace

CPixoluneDlg::CPixoluneDlg(QWidget* parent, int hostVariant, MainDialogServices services)
    : CExchangeDialog(parent, services.prompts),
      hostVariant_(hostVariant),
      services_(std::move(services)) {
    setWindowTitle(Caption());
    CreateControls();
    BuildLayout();
    SetTabOrder();
    ConnectCommands();
}

void CPixoluneDlg::CreateControls() {
    // Mnemonics where the letters do not clash; the texts read as designed.
    enabledCheck = new QCheckBox("&PlugIn Enabled", this);
    folderLabel = new QLabel("&Folder to store downloaded media files (photo and video):", this);
    folderEdit = new QLineEdit(this);
    browseButton = new QPushButton("...", this);
    feedGroup = new QGroupBox("Choose media files you want to see from Pixolune", this);
    for (int row = 0; row < kFeedRowCount; ++row) {
        feedRows[row] = {new QCheckBox(kFeedLabels[row], feedGroup),
                         new QLabel("Max N. of files:", feedGroup), new QLineEdit(feedGroup)};
    }
    tagsEdit = new QLineEdit(feedGroup);
    minutesLabel = new QLabel("Check downloads at startup and &every :", this);
    minutesEdit = new QLineEdit(this);
    minutesUnitLabel = new QLabel("Minutes   (0=Disable)", this);
    settingsButton = new QPushButton("&Settings...", this);
    authorizeButton = new QPushButton("&Authorize...", this);
    okButton = new QPushButton("OK", this);
    cancelButton = new QPushButton("Cancel", this);
    helpButton = new QPushButton("Help", this);
    statusLabel = new QLabel("Static", this);
    photosCheck = new QCheckBox("P&hotos", this);
    videosCheck = new QCheckBox("&Videos", this);
    NameControlsForAssistiveTools();

    statusLabel->setAlignment(Qt::AlignCenter);
    statusLabel->setWordWrap(true);
    okButton->setDefault(true);
    for (QPushButton* button :
         {browseButton, settingsButton, authorizeButton, cancelButton, helpButton}) {
        button->setAutoDefault(false);
    }
}

void CPixoluneDlg::BuildLayout() {
    const DialogUnits du(*this);
    folderEdit->setMinimumWidth(du.X(318));
    browseButton->setFixedWidth(std::max(du.X(15), browseButton->sizeHint().height()));
    for (FeedRow& row : feedRows) row.maxFiles->setFixedWidth(du.X(29) + du.X(10));
    tagsEdit->setMinimumWidth(du.X(243));
    minutesEdit->setFixedWidth(du.X(40) + du.X(10));
    for (QPushButton* button :
         {settingsButton, authorizeButton, okButton, cancelButton, helpButton}) {
        button->setMinimumWidth(du.X(54));
    }
    // Two lines of the status text at the designed width.
    statusLabel->setMinimumWidth(du.X(334));
    statusLabel->setMinimumHeight(du.Y(20) + du.Y(4));

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

    auto* folderRow = new QHBoxLayout;
    folderRow->setSpacing(du.X(1));
    folderRow->addWidget(folderEdit, 1);
    folderRow->addWidget(browseButton);

    auto* groupRow = new QHBoxLayout;
    groupRow->addWidget(feedGroup);
    groupRow->addStretch();

    auto* mediaRow = new QHBoxLayout;
    mediaRow->addWidget(photosCheck);
    mediaRow->addSpacing(du.X(7));
    mediaRow->addWidget(videosCheck);
    mediaRow->addStretch();

    auto* minutesRow = new QHBoxLayout;
    minutesRow->addWidget(minutesLabel);
    minutesRow->addWidget(minutesEdit);
    minutesRow->addWidget(minutesUnitLabel);
    minutesRow->addStretch();

    auto* left = new QVBoxLayout;
    left->addWidget(enabledCheck);
    left->addWidget(folderLabel);
    left->addLayout(folderRow);
    left->addLayout(groupRow);
    left->addLayout(mediaRow);
    left->addSpacing(du.Y(4));
    left->addLayout(minutesRow);
    left->addSpacing(du.Y(6));
    left->addWidget(statusLabel);

    auto* right = new QVBoxLayout;
    right->addWidget(okButton);
    right->addWidget(cancelButton);
    right->addSpacing(du.Y(14));
    right->addWidget(helpButton);
    right->addStretch();
    right->addWidget(settingsButton);
    right->addSpacing(du.Y(14));
    right->addWidget(authorizeButton);

    auto* layout = new QHBoxLayout(this);
    layout->addLayout(left, 1);
    layout->addSpacing(du.X(14));
    layout->addLayout(right);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void CPixoluneDlg::NameControlsForAssistiveTools() {
    folderLabel->setBuddy(folderEdit);
    minutesLabel->setBuddy(minutesEdit);
    minutesUnitLabel->setBuddy(minutesEdit);
    browseButton->setAccessibleName(kTextSelectFolder);
    for (int row = 0; row < kFeedRowCount; ++row) {
        feedRows[row].label->setBuddy(feedRows[row].maxFiles);
        // Five edits share one label text; the row's name tells them apart.
        feedRows[row].maxFiles->setAccessibleName(
            QString("%1 Max N. of files").arg(QString(kFeedLabels[row]).remove(':')));
    }
    tagsEdit->setAccessibleName("Tags");
    statusLabel->setAccessibleName("Account");
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
    for (QWidget* w : std::initializer_list<QWidget*>{
             tagsEdit, photosCheck, videosCheck, minutesEdit, okButton, cancelButton, helpButton,
             settingsButton, authorizeButton}) {
        order.push_back(w);
    }
    for (size_t i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
}

void CPixoluneDlg::ConnectCommands() {
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(enabledCheck, &QCheckBox::clicked, this, [this] { ApplyEnabling(); });
    for (int row = 0; row < kFeedRowCount; ++row) {
        connect(feedRows[row].check, &QCheckBox::clicked, this,
                [this, row] { ApplyRowEnabling(row); });
    }
    connect(browseButton, &QPushButton::clicked, this, [this] { OnBrowse(); });
    connect(settingsButton, &QPushButton::clicked, this, [this] { OnSettings(); });
    connect(authorizeButton, &QPushButton::clicked, this, [this] { OnAuthorize(); });
}

void CPixoluneDlg::OnInitDialog() {
    CExchangeDialog::OnInitDialog();
    account_ = InitialAccountState(Values.Token);
    statusLabel->setText(ToQt(account_.status));
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

void CPixoluneDlg::ApplyEnabling() {
    const MainEnabling e = Enabling();
    for (QWidget* w :
         {static_cast<QWidget*>(folderLabel), static_cast<QWidget*>(folderEdit),
          static_cast<QWidget*>(browseButton), static_cast<QWidget*>(minutesLabel),
          static_cast<QWidget*>(minutesEdit), static_cast<QWidget*>(minutesUnitLabel),
          static_cast<QWidget*>(settingsButton), static_cast<QWidget*>(authorizeButton)}) {
        w->setEnabled(e.folderAndTiming);
    }
    photosCheck->setEnabled(e.mediaKinds);
    videosCheck->setEnabled(e.mediaKinds);
    for (int row = 0; row < kFeedRowCount; ++row) {
        feedRows[row].check->setEnabled(e.feedChecks);
        ApplyRowEnabling(row);
    }
}

void CPixoluneDlg::ApplyRowEnabling(int row) {
    const bool enabled = Enabling().rowFields[row];
    feedRows[row].label->setEnabled(enabled);
    feedRows[row].maxFiles->setEnabled(enabled);
    if (row == kFeedRowCount - 1) tagsEdit->setEnabled(enabled);
}

void CPixoluneDlg::ShowAccountStep(const AccountStep& step) {
    if (step.message) Prompts().Inform(this, ToQt(*step.message));
    account_ = step.state;
    Values.Token = account_.token;
    statusLabel->setText(ToQt(account_.status));
    ApplyEnabling();
}

void CPixoluneDlg::StartAccountCheck(const std::string& token) {
    accountCheck_.reset();  // a newer token replaces a check still running
    account_.token = token;
    statusLabel->setText(ToQt(kTextCheckingAccount));
    statusLabel->setCursor(Qt::WaitCursor);
    ApplyEnabling();
    accountCheck_ = std::make_unique<BackgroundAccountCheck>(
        services_.checkAccount, token, this,
        [this, token](const AccountCheckResult& result) { OnAccountChecked(token, result); });
}

void CPixoluneDlg::OnAccountChecked(const std::string& token, const AccountCheckResult& result) {
    accountCheck_.reset();  // its thread has already handed over and ends
    statusLabel->unsetCursor();
    ShowAccountStep(AccountStepFor(token, result));
}

void CPixoluneDlg::OnAuthorize() {
    const AuthorizeOutcome outcome = services_.authorize(this);
    if (auto step = AuthorizeStepWithoutCheck(outcome, account_)) {
        ShowAccountStep(*step);
        return;
    }
    StartAccountCheck(outcome.token);
}

void CPixoluneDlg::OnSettings() {
    CDwnlSettingsDlg dialog(this, &Prompts());
    dialog.Values = DownloadPart(Values);
    if (dialog.DoModal() == QDialog::Accepted) TakeDownloadPart(dialog.Values, Values);
}

void CPixoluneDlg::OnBrowse() {
    SECDirSelectDlg chooser(kTextSelectFolder, FromQt(folderEdit->text()), this);
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
        return Prompts().Confirm(this, ToQt(text));
    };
    if (const auto failure = SaveMainControls(ReadControls(), Values, confirm, IsExistingFolder)) {
        const bool focusable = IsEnabledByRules(Enabling(), failure->control, failure->row);
        return FailOn(focusable ? ControlOf(*failure) : nullptr, failure->message);
    }
    Values.Token = account_.token;
    return true;
}

}  // namespace pixolune::ui
