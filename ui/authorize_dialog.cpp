#include "ui/authorize_dialog.h"

#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <QWebEngineHistory>
#include <QWebEngineNavigationRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineView>

#include "model/host_link.h"
#include "model/secret_mask.h"
#include "ui/authorize_address.h"
#include "ui/dialog_texts.h"
#include "ui/exchange_dialog.h"
#include "ui/redirect_examiner.h"

namespace pixolune::ui {

CAuthorizeDlg::CAuthorizeDlg(int hostVariant, QWidget* parent)
    : QDialog(parent), hostVariant_(hostVariant) {
    setWindowTitle(tr("Authorize"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint);
    CreateBrowser();
    CreateControls();
    BuildLayout();
    FitToScreen();
    ConnectBrowser();
}

void CAuthorizeDlg::CreateBrowser() {
    // A private profile: every run starts afresh and nothing of the login is kept on disk.
    profile_ = std::make_unique<QWebEngineProfile>();
    page_ = std::make_unique<QWebEnginePage>(profile_.get());
    // A failed navigation shows no error page of its own; the dialog stays open.
    page_->settings()->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    view_ = std::make_unique<QWebEngineView>(this);
    view_->setPage(page_.get());
}

void CAuthorizeDlg::CreateControls() {
    failureMessage_ = new QLabel(ToQt(kTextLoginPageFailed), this);
    failureMessage_->setWordWrap(true);
    failureMessage_->setAlignment(Qt::AlignCenter);
    failureMessage_->setMargin(24);
    pages_ = new QStackedWidget(this);
    pages_->addWidget(view_.get());
    pages_->addWidget(failureMessage_);
    progress_ = new QProgressBar(this);
    progress_->setRange(0, 100);
    progress_->setTextVisible(false);
    progress_->setMaximumHeight(progress_->sizeHint().height() / 2);
    progress_->setAccessibleName(tr("Loading"));
}

void CAuthorizeDlg::BuildLayout() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(pages_, 1);
    layout->addWidget(progress_);
}

// The login window's 450 x 331 dialog units, but never more than the screen
// leaves free (a 1366 x 768 laptop with its panels), and resizable.
void CAuthorizeDlg::FitToScreen() {
    const DialogUnits du(*this);
    QSize size(du.X(450), du.Y(331));
    if (const QScreen* shownOn = screen()) {
        const QSize available = shownOn->availableGeometry().size();
        size = size.boundedTo(QSize(available.width() * 9 / 10, available.height() * 85 / 100));
    }
    resize(size);
    setMinimumSize(du.X(200), du.Y(120));
    setSizeGripEnabled(true);
}

// The token may come in the fragment of a redirect that never finishes
// loading (the redirect page being unreachable): such a page never changes
// the shown address, so the addresses asked for count as well.
void CAuthorizeDlg::ConnectBrowser() {
    QWebEnginePage* page = page_.get();
    connect(page, &QWebEnginePage::urlChanged, this, &CAuthorizeDlg::onUrlChanged);
    connect(page, &QWebEnginePage::navigationRequested, this,
            &CAuthorizeDlg::onNavigationRequested);
    connect(page, &QWebEnginePage::loadStarted, this, &CAuthorizeDlg::onLoadStarted);
    connect(page, &QWebEnginePage::loadProgress, progress_, &QProgressBar::setValue);
    connect(page, &QWebEnginePage::loadFinished, this, &CAuthorizeDlg::onLoadFinished);
}

void CAuthorizeDlg::onUrlChanged(const QUrl& address) {
    ExamineAddress(address);
}

void CAuthorizeDlg::onNavigationRequested(QWebEngineNavigationRequest& request) {
    ExamineAddress(request.url());
}

void CAuthorizeDlg::onLoadStarted() {
    progress_->setValue(0);
    progress_->show();
    pages_->setCurrentWidget(view_.get());
}

void CAuthorizeDlg::onLoadFinished(bool ok) {
    if (firstLoad_) {
        firstLoad_ = false;
        page_->history()->clear();  // the authorize page is not kept in the history
    }
    ShowLoadResult(ok);
    ExamineAddress(page_->url());
}

// The browser's own error page is suppressed; a plain message says what
// happened instead of a blank page. Any later load brings the page back.
void CAuthorizeDlg::ShowLoadResult(bool ok) {
    progress_->hide();
    if (!ok && !ended_) {
        // Without query and fragment: a token or a login may travel there.
        const QUrl address = page_->requestedUrl().adjusted(
            QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo);
        Log("CAuthorizeDlg: the page %s could not be loaded",
            address.toString().toStdString().c_str());
        pages_->setCurrentWidget(failureMessage_);
    }
}

bool CAuthorizeDlg::ShowsLoadFailure() const {
    return pages_->currentWidget() == failureMessage_;
}

CAuthorizeDlg::~CAuthorizeDlg() = default;

int CAuthorizeDlg::DoModal() {
    page_->load(QUrl(QString::fromStdString(AuthorizeAddressForHost(hostVariant_))));
    view_->setFocus();
    return exec();
}

void CAuthorizeDlg::ExamineAddress(const QUrl& address) {
    if (ended_) return;
    // The address as the browser holds it, with nothing decoded.
    const AddressVerdict verdict = pixolune::ui::ExamineAddress(address.toEncoded().toStdString());
    switch (verdict.kind) {
        case AddressVerdict::Kind::None:
            return;
        case AddressVerdict::Kind::Authorized:
            ended_ = true;
            accessToken_ = verdict.token;
            Log("CAuthorizeDlg: access token received (%s)", MaskSecret(accessToken_).c_str());
            accept();
            return;
        case AddressVerdict::Kind::Refused:
            ended_ = true;
            errorText_ = verdict.errorText;
            Log("CAuthorizeDlg: %s", errorText_.c_str());
            reject();
            return;
    }
}

AuthorizeOutcome RunAuthorizeDialog(int hostVariant, QWidget* parent) {
    CAuthorizeDlg dialog(hostVariant, parent);
    const bool ok = dialog.DoModal() == QDialog::Accepted;
    return {ok, dialog.AccessToken(), dialog.ErrorText()};
}

}  // namespace pixolune::ui
