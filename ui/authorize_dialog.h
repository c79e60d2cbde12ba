#pragma once

#include <QDialog>
#include <memory>
#include <string>

#include "ui/account_status.h"

class QLabel;
class QProgressBar;
class QStackedWidget;
class QUrl;
class QWebEngineNavigationRequest;
class QWebEnginePage;
class QWebEngineProfile;
class QWebEngineView;

namespace pixolune::ui {

// The login: an embedded browser opens the service's authorize page, and the
// dialog ends as soon as an address with the token (OK) or an error (Cancel)
// has been loaded. Closing the window is a plain Cancel.
class CAuthorizeDlg : public QDialog {
    Q_OBJECT

  public:
    explicit CAuthorizeDlg(int hostVariant, QWidget* parent = nullptr);
    ~CAuthorizeDlg() override;

    // Sends the browser to the authorize address and runs the dialog.
    int DoModal();

    [[nodiscard]] const std::string& AccessToken() const { return accessToken_; }
    [[nodiscard]] const std::string& ErrorText() const { return errorText_; }
    [[nodiscard]] QWebEnginePage* Page() const { return page_.get(); }
    // True while the plain message of a page that could not be loaded is shown.
    [[nodiscard]] bool ShowsLoadFailure() const;

  private slots:
    void onUrlChanged(const QUrl& address);
    void onNavigationRequested(QWebEngineNavigationRequest& request);
    void onLoadStarted();
    void onLoadFinished(bool ok);

  private:
    void CreateBrowser();
    void CreateControls();
    void BuildLayout();
    void FitToScreen();
    void ConnectBrowser();
    void ShowLoadResult(bool ok);
    void ExamineAddress(const QUrl& address);

    int hostVariant_;
    std::string accessToken_;
    std::string errorText_;
    bool ended_ = false;
    bool firstLoad_ = true;
    // Destroyed in reverse order: the view before its page, the page before its profile.
    std::unique_ptr<QWebEngineProfile> profile_;
    std::unique_ptr<QWebEnginePage> page_;
    std::unique_ptr<QWebEngineView> view_;
    QStackedWidget* pages_ = nullptr;  // the view, or the failure message
    QLabel* failureMessage_ = nullptr;
    QProgressBar* progress_ = nullptr;
};

// Runs the login dialog and reports how it ended.
[[nodiscard]] AuthorizeOutcome RunAuthorizeDialog(int hostVariant, QWidget* parent);

}  // namespace pixolune::ui
