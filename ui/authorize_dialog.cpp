#include "ui/authorize_dialog.h"

#include <QVBoxLayout>
#include <QWebEngineHistory>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineView>

#include "plugin/host_link.h"
#include "plugin/settings_io.h"
#include "ui/authorize_address.h"
#include "ui/exchange_dialog.h"
#include "ui/redirect_examiner.h"

namespace pixolune::ui {

CAuthorizeDlg::CAuthorizeDlg(int hostVariant, QWidget* parent)
    : QDialog(parent), hostVariant_(hostVariant) {
    setWindowTitle("Authorize");
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    // A private profile: every run starts afresh and nothing of the login is kept on disk.
    profile_ = std::make_unique<QWebEngineProfile>();
    page_ = std::make_unique<QWebEnginePage>(profile_.get());
    // A failed navigation shows no error page of its own; the dialog stays open.
    page_->settings()->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    view_ = std::make_unique<QWebEngineView>(this);
    view_->setPage(page_.get());

    // The design's 450 x 331 dialog units, fixed.
    const DialogUnits du(*this);
    setFixedSize(du.X(450), du.Y(331));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_.get());

    // The token may come in the fragment of a redirect that never finishes
    // loading (the redirect page being unreachable), so address changes count too.
    connect(page_.get(), &QWebEnginePage::urlChanged, this,
            [this](const QUrl& url) { ExamineAddress(url); });
    connect(page_.get(), &QWebEnginePage::loadFinished, this, [this](bool) {
        if (firstLoad_) {
            firstLoad_ = false;
            page_->history()->clear();  // the authorize page is not kept in the history
        }
        ExamineAddress(page_->url());
    });
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
