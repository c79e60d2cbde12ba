#pragma once

#include <QDialog>
#include <memory>
#include <optional>
#include <string>

#include "ui/account_status.h"
#include "ui/login_navigation.h"
#include "ui/web_sandbox.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QTimer;
class QUrl;
class QWebEngineNavigationRequest;
class QWebEnginePage;
class QWebEngineProfile;
class QWebEngineView;

namespace pixolune::ui {

// The login: an embedded browser opens the service's authorize page, and the
// dialog ends as soon as its main frame reaches the redirect page's address
// with the token and this sign-in's state (OK) or an error (Cancel). Closing
// the window, or Escape, is a plain Cancel. The main frame stays on the
// service's own hosts and the window names the host of the page it shows;
// frames inside the page load from anywhere but never end the sign-in, and no
// page opens a window. Where the web engine cannot run (as root with its
// sandbox on) the window says why instead of showing a page.
class CAuthorizeDlg : public QDialog {
    Q_OBJECT

  public:
    explicit CAuthorizeDlg(int hostVariant, QWidget* parent = nullptr,
                           const SandboxEnvironment& sandbox = CurrentSandboxEnvironment());
    ~CAuthorizeDlg() override;

    // Sends the browser to the authorize address and runs the dialog.
    int DoModal();

    [[nodiscard]] const std::string& AccessToken() const { return accessToken_; }
    [[nodiscard]] const std::string& ErrorText() const { return errorText_; }
    // Null when the web engine cannot run here (see SignInBlockedReason).
    [[nodiscard]] QWebEnginePage* Page() const { return page_.get(); }
    // True while the plain message of a page that could not be loaded is shown.
    [[nodiscard]] bool ShowsLoadFailure() const;
    // The message shown in place of the page, or of a refused navigation or window.
    [[nodiscard]] QString ShownMessage() const;

    // How long a page may load before the window says the service does not answer.
    static constexpr int kStalledPageTimeoutMs = 30000;
    void SetStalledPageTimeout(int milliseconds);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private slots:
    void onUrlChanged(const QUrl& address);
    void onNavigationRequested(QWebEngineNavigationRequest& request);
    void onLoadStarted();
    void onLoadFinished(bool ok);
    void onPageStalled();
    void onTryAgainClicked();

  private:
    void CreateBrowser();
    void CreateControls();
    void BuildLayout();
    void FitToScreen();
    void ConnectBrowser();
    void ShowLoadResult(bool ok);
    void ShowFailure(const QString& text);
    void ShowShownHost(const QUrl& address);
    void LoadAuthorizePage();
    void ExamineAddress(const QUrl& address);
    void RefuseNewWindow();

    int hostVariant_;
    LoginSites sites_;
    std::string state_;  // this sign-in's; the redirect must bring it back
    std::optional<std::string> blockedReason_;
    std::string accessToken_;
    std::string errorText_;
    bool ended_ = false;
    bool firstLoad_ = true;
    bool holdMessage_ = false;  // a failure message that no later load replaces, until Try Again
    bool navigationRefused_ = false;  // the load under way was refused by the window itself
    // Destroyed in reverse order: the view before its page, the page before its profile.
    std::unique_ptr<QWebEngineProfile> profile_;
    std::unique_ptr<QWebEnginePage> page_;
    std::unique_ptr<QWebEngineView> view_;
    QStackedWidget* pages_ = nullptr;  // the view, or the failure message
    QWidget* failurePage_ = nullptr;
    QLabel* failureMessage_ = nullptr;
    QPushButton* tryAgainButton_ = nullptr;
    QLabel* hostLine_ = nullptr;    // the host of the page shown
    QLabel* noticeLine_ = nullptr;  // a refused navigation
    QProgressBar* progress_ = nullptr;
    QTimer* stallTimer_ = nullptr;
};

// Runs the login dialog and reports how it ended.
[[nodiscard]] AddressVerdict RunAuthorizeDialog(int hostVariant, QWidget* parent);

}  // namespace pixolune::ui
