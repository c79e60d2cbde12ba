#include "ui/authorize_dialog.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebEngineHistory>
#include <QWebEngineNavigationRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <functional>

#include "model/host_link.h"
#include "model/secret_mask.h"
#include "ui/authorize_address.h"
#include "ui/dialog_texts.h"
#include "ui/exchange_dialog.h"
#include "ui/redirect_examiner.h"

namespace pixolune::ui {
namespace {

std::string Encoded(const QUrl& address) {
    return address.toEncoded().toStdString();  // as the browser holds it, nothing decoded
}

// A page that lets only the service's own hosts speak to the user: script
// dialogs of any other origin are dropped unseen, and no page gets a window
// of its own (where the window's own checks could not follow it).
class LoginPage final : public QWebEnginePage {
  public:
    LoginPage(QWebEngineProfile* profile, LoginSites sites, std::function<void()> onNewWindow)
        : QWebEnginePage(profile), sites_(std::move(sites)), onNewWindow_(std::move(onNewWindow)) {}

  protected:
    QWebEnginePage* createWindow(WebWindowType) override {
        onNewWindow_();
        return nullptr;
    }
    void javaScriptAlert(const QUrl& origin, const QString& text) override {
        if (IsOwn(origin)) QWebEnginePage::javaScriptAlert(origin, text);
    }
    bool javaScriptConfirm(const QUrl& origin, const QString& text) override {
        return IsOwn(origin) && QWebEnginePage::javaScriptConfirm(origin, text);
    }
    bool javaScriptPrompt(const QUrl& origin, const QString& text, const QString& value,
                          QString* result) override {
        return IsOwn(origin) && QWebEnginePage::javaScriptPrompt(origin, text, value, result);
    }

  private:
    bool IsOwn(const QUrl& origin) const { return MayNavigate(Encoded(origin), sites_); }
    LoginSites sites_;
    std::function<void()> onNewWindow_;
};

}  // namespace

CAuthorizeDlg::CAuthorizeDlg(int hostVariant, QWidget* parent, const SandboxEnvironment& sandbox)
    : QDialog(parent),
      hostVariant_(hostVariant),
      sites_(ConfiguredLoginSites()),
      state_(NewSignInState()),
      blockedReason_(SignInBlockedReason(sandbox)) {
    setWindowTitle(tr("Authorize"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint);
    // The web engine is never started where it would take the host down.
    if (!blockedReason_) CreateBrowser();
    CreateControls();
    BuildLayout();
    FitToScreen();
    if (!blockedReason_) ConnectBrowser();
    // Escape must close the window even while the page has the keyboard.
    qApp->installEventFilter(this);
}

void CAuthorizeDlg::CreateBrowser() {
    // A private profile: every run starts afresh and nothing of the login is kept on disk.
    profile_ = std::make_unique<QWebEngineProfile>();
    page_ = std::make_unique<LoginPage>(profile_.get(), sites_, [this] { RefuseNewWindow(); });
    // A failed navigation shows no error page of its own; the dialog stays open.
    page_->settings()->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    view_ = std::make_unique<QWebEngineView>(this);
    view_->setPage(page_.get());
    // No Back, Reload, Save page or View source: the window shows the sign-in only.
    view_->setContextMenuPolicy(Qt::NoContextMenu);
}

void CAuthorizeDlg::CreateControls() {
    failurePage_ = new QWidget(this);
    failureMessage_ = new QLabel(Tr(kTextLoginPageFailed), failurePage_);
    failureMessage_->setWordWrap(true);
    failureMessage_->setAlignment(Qt::AlignCenter);
    failureMessage_->setMargin(24);
    tryAgainButton_ = new QPushButton(Tr(kTextTryAgain), failurePage_);
    auto* failureLayout = new QVBoxLayout(failurePage_);
    failureLayout->addStretch();
    failureLayout->addWidget(failureMessage_);
    failureLayout->addWidget(tryAgainButton_, 0, Qt::AlignHCenter);
    failureLayout->addStretch();

    pages_ = new QStackedWidget(this);
    if (view_) pages_->addWidget(view_.get());
    pages_->addWidget(failurePage_);
    hostLine_ = new QLabel(this);
    hostLine_->setMargin(4);
    hostLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    hostLine_->setAccessibleName(tr("Page of"));
    noticeLine_ = new QLabel(this);
    noticeLine_->setWordWrap(true);
    noticeLine_->setMargin(4);
    noticeLine_->hide();
    progress_ = new QProgressBar(this);
    progress_->setRange(0, 100);
    progress_->setTextVisible(false);
    progress_->setMaximumHeight(progress_->sizeHint().height() / 2);
    progress_->setAccessibleName(tr("Loading"));
    stallTimer_ = new QTimer(this);
    stallTimer_->setSingleShot(true);
    stallTimer_->setInterval(kStalledPageTimeoutMs);
}

void CAuthorizeDlg::BuildLayout() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(hostLine_);
    layout->addWidget(progress_);
    layout->addWidget(pages_, 1);
    layout->addWidget(noticeLine_);
}

// The login window's 450 x 331 dialog units, but never more than the screen
// leaves free (a 1366 x 768 laptop with its panels), and resizable.
void CAuthorizeDlg::FitToScreen() {
    const DialogUnits du(*this);
    QSize size(du.X(450), du.Y(331));
    QSize smallest(du.X(200), du.Y(120));
    if (const QScreen* shownOn = screen()) {
        const QSize available = shownOn->availableGeometry().size();
        size = size.boundedTo(QSize(available.width() * 9 / 10, available.height() * 85 / 100));
        smallest = smallest.boundedTo(size);
    }
    resize(size);
    setMinimumSize(smallest);
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
    connect(stallTimer_, &QTimer::timeout, this, &CAuthorizeDlg::onPageStalled);
    connect(tryAgainButton_, &QPushButton::clicked, this, &CAuthorizeDlg::onTryAgainClicked);
}

void CAuthorizeDlg::onUrlChanged(const QUrl& address) {
    ShowShownHost(address);
    ExamineAddress(address);
}

// A frame inside the page loads where it likes (a sign-in page may embed a
// captcha of another host) and never speaks for the sign-in; only the main
// frame's navigations are examined and kept on the service's hosts.
void CAuthorizeDlg::onNavigationRequested(QWebEngineNavigationRequest& request) {
    if (!request.isMainFrame()) return;
    const QUrl address = request.url();
    ExamineAddress(address);
    if (ended_ || MayNavigate(Encoded(address), sites_)) return;
    request.reject();
    navigationRefused_ = true;
    const std::string host = HostOf(Encoded(address));
    Log("CAuthorizeDlg: a page of %s was not opened",
        host.empty() ? address.scheme().toStdString().c_str() : host.c_str());
    noticeLine_->setText(
        Tr({kTextOtherSiteRefused, {{host.empty() ? address.scheme().toStdString() : host}}}));
    noticeLine_->show();
}

void CAuthorizeDlg::RefuseNewWindow() {
    Log("CAuthorizeDlg: a page asked for a new window; none was opened");
    noticeLine_->setText(Tr(kTextNewWindowRefused));
    noticeLine_->show();
}

void CAuthorizeDlg::onLoadStarted() {
    progress_->setValue(0);
    progress_->show();
    if (!holdMessage_) pages_->setCurrentWidget(view_.get());
    stallTimer_->start();
}

void CAuthorizeDlg::onLoadFinished(bool ok) {
    stallTimer_->stop();
    if (firstLoad_) {
        firstLoad_ = false;
        page_->history()->clear();  // the authorize page is not kept in the history
    }
    ShowLoadResult(ok);
    navigationRefused_ = false;
    ExamineAddress(page_->url());
}

// The browser's own error page is suppressed; a plain message says what
// happened instead of a blank page. Any later load brings the page back.
void CAuthorizeDlg::ShowLoadResult(bool ok) {
    progress_->hide();
    // A load the window refused itself failed on purpose; its own line says why.
    if (!ok && !ended_ && !holdMessage_ && !navigationRefused_) {
        // Without query and fragment: a token or a login may travel there.
        const QUrl address = page_->requestedUrl().adjusted(
            QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo);
        Log("CAuthorizeDlg: the page %s could not be loaded",
            address.toString().toStdString().c_str());
        ShowFailure(Tr(kTextLoginPageFailed));
    }
}

void CAuthorizeDlg::ShowFailure(const QString& text) {
    progress_->hide();
    failureMessage_->setText(text);
    pages_->setCurrentWidget(failurePage_);
    tryAgainButton_->setFocus(Qt::OtherFocusReason);
}

// A page that never finishes would leave the window white for ever.
void CAuthorizeDlg::onPageStalled() {
    if (ended_) return;
    page_->triggerAction(QWebEnginePage::Stop);
    Log("CAuthorizeDlg: the sign-in page did not load within %d s", kStalledPageTimeoutMs / 1000);
    ShowFailure(Tr(kTextServiceDoesNotAnswer));
    holdMessage_ = true;  // the stopped load ends as a failure of its own
}

void CAuthorizeDlg::onTryAgainClicked() {
    holdMessage_ = false;
    navigationRefused_ = false;
    noticeLine_->hide();
    LoadAuthorizePage();
}

void CAuthorizeDlg::SetStalledPageTimeout(int milliseconds) {
    stallTimer_->setInterval(milliseconds);
}

// The window names whose page it shows; the title alone cannot tell.
void CAuthorizeDlg::ShowShownHost(const QUrl& address) {
    const QString host = ToQt(HostOf(Encoded(address)));
    if (host.isEmpty()) return;
    const QString origin = address.scheme() + "://" + host +
                           (address.port() > 0 ? ":" + QString::number(address.port()) : QString());
    hostLine_->setText(origin);
    setWindowTitle(tr("Authorize") + QStringLiteral(" \u2014 ") + host);
}

bool CAuthorizeDlg::ShowsLoadFailure() const {
    return pages_->currentWidget() == failurePage_;
}

QString CAuthorizeDlg::ShownMessage() const {
    if (ShowsLoadFailure()) return failureMessage_->text();
    return noticeLine_->isVisible() ? noticeLine_->text() : QString();
}

bool CAuthorizeDlg::eventFilter(QObject* watched, QEvent* event) {
    const bool key = event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride;
    if (key && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget && widget->window() == this && isVisible()) {
            reject();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

CAuthorizeDlg::~CAuthorizeDlg() {
    qApp->removeEventFilter(this);
}

void CAuthorizeDlg::LoadAuthorizePage() {
    const QUrl address(QString::fromStdString(AuthorizeAddressForHost(hostVariant_, state_)));
    ShowShownHost(address);  // named before it answers, or when it never does
    page_->load(address);
    view_->setFocus();
}

int CAuthorizeDlg::DoModal() {
    if (blockedReason_) {
        Log("CAuthorizeDlg: the sign-in cannot open: %s", blockedReason_->c_str());
        ShowFailure(Tr(kTextSignInAsRoot));
        tryAgainButton_->hide();  // nothing changes until the program is started anew
        failureMessage_->setTextInteractionFlags(Qt::TextSelectableByMouse);
        return exec();
    }
    if (state_.empty()) Log("CAuthorizeDlg: no random source for the sign-in's state");
    LoadAuthorizePage();
    return exec();
}

void CAuthorizeDlg::ExamineAddress(const QUrl& address) {
    if (ended_) return;
    const std::string encoded = Encoded(address);
    const AddressVerdict verdict = ExamineLoginAddress(encoded, sites_, state_);
    switch (verdict.kind) {
        case AddressVerdict::Kind::None:
            return;
        case AddressVerdict::Kind::Foreign:
            // Someone else's token would sign the plug-in in to someone else's account.
            if (IsRedirectAddress(encoded, sites_))
                Log("CAuthorizeDlg: a token without this sign-in's state was ignored");
            else
                Log("CAuthorizeDlg: a token outside the redirect page was ignored (%s)",
                    HostOf(encoded).c_str());
            page_->triggerAction(QWebEnginePage::Stop);
            ShowFailure(Tr(kTextSignInNotCompleted));
            holdMessage_ = true;  // until the user tries again
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

AddressVerdict RunAuthorizeDialog(int hostVariant, QWidget* parent) {
    CAuthorizeDlg dialog(hostVariant, parent);
    if (dialog.DoModal() == QDialog::Accepted)
        return {AddressVerdict::Kind::Authorized, dialog.AccessToken(), ""};
    if (!dialog.ErrorText().empty()) return {AddressVerdict::Kind::Refused, "", dialog.ErrorText()};
    return {};
}

}  // namespace pixolune::ui
