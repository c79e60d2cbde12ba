// Renders each dialog to a PNG file for review: ui_dialog_screenshots <folder>.
// Runs on a real (virtual) X display so that the web page is drawn as well.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWebEnginePage>
#include <QWindow>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#if PIXOLUNE_HAVE_STUB
#include "tests/support/stub_server.h"
#endif
#include "ui/authorize_dialog.h"
#include "ui/dialog_texts.h"
#include "ui/dialog_translations.h"
#include "ui/dir_select_dialog.h"
#include "ui/download_settings_dialog.h"
#include "ui/main_dialog.h"
#include "widget_test_support.h"

namespace pixolune::ui {
namespace {

QString outputFolder;
int failures = 0;

// The window as the X server shows it, frame contents included.
void Save(QWidget* window, const QString& name) {
    // No window manager gives the window the keyboard; without it no focus mark is drawn.
    window->activateWindow();
    QApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    QApplication::processEvents();
    QPixmap shot = window->screen()->grabWindow(window->winId());
    if (shot.isNull() || shot.width() < 10) shot = window->grab();
    const QString path = QDir(outputFolder).filePath(name + ".png");
    if (!shot.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        ++failures;
        return;
    }
    std::printf("%s (%dx%d)\n", qPrintable(path), shot.width(), shot.height());
}

// Runs `dialog` modally, saves it after `delayMs`, then closes it.
void Shoot(QDialog* dialog, std::function<int()> run, const QString& name, int delayMs = 300) {
    QTimer::singleShot(delayMs, dialog, [dialog, name] {
        Save(dialog, name);
        dialog->reject();
    });
    run();
}

// Message boxes as the user sees them, each saved under the name given last.
class ShootingPrompts final : public DialogPrompts {
  public:
    void Inform(QWidget* parent, const QString& text) override {
        Show(parent, text, QMessageBox::Information, QMessageBox::Ok);
    }
    bool Confirm(QWidget* parent, const QString& text) override {
        Show(parent, text, QMessageBox::Warning, QMessageBox::Ok | QMessageBox::Cancel);
        return true;
    }
    QString next = "message";

  private:
    void Show(QWidget* parent, const QString& text, QMessageBox::Icon icon,
              QMessageBox::StandardButtons buttons) {
        QMessageBox box(icon, Tr(kMessageBoxCaption), text, buttons, parent);
        const QString name = next;
        QTimer::singleShot(300, &box, [&box, name] {
            Save(&box, name);
            box.reject();
        });
        box.exec();
    }
};

ShootingPrompts shootingPrompts;

ConfigurationValues SampleValues() {
    ConfigurationValues v;
    v.Enabled = 1;
    v.ImgFolder = QDir::homePath().toStdString() + "/Pictures/Pixolune/";
    v.tmUpdate = 180;
    v.DwlPhoto = 1;
    v.RestartKal = 1;
    v.OlderDays = 7;
    v.FeedsSynch = 1;
    CPixoluneFeed mine;
    mine.Type = kFeedMine;
    mine.MaxP = 200;
    CPixoluneFeed tags;
    tags.Type = kFeedTagged;
    tags.MaxP = 50;
    tags.Tags = "sunset,mountains";
    v.Feeds = {mine, tags};
    return v;
}

enum class Check { Answers, NeverAnswers, ServiceFails };

std::unique_ptr<CPixoluneDlg> MainDialog(int hostVariant, ConfigurationValues values,
                                         Check check = Check::Answers) {
    MainDialogServices services;
    services.checkAccount = [check](const std::string&, const CancelQuery& cancelled) {
        // A service that does not answer until the dialog gives up on it.
        while (check == Check::NeverAnswers && !cancelled()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (check == Check::ServiceFails) {
            return AccountCheckResult{
                false, "", "", "", AccountCheckFailure::ServiceFailed, "HTTP status 503"};
        }
        return AccountCheckResult{true, "Alice Example", "alice", "", {}, ""};
    };
    services.authorize = [](QWidget*) { return AddressVerdict{}; };
    services.prompts = &shootingPrompts;
    auto dialog = std::make_unique<CPixoluneDlg>(nullptr, hostVariant, services);
    dialog->Values = std::move(values);
    return dialog;
}

void ShootMainDialogs() {
    ConfigurationValues values = SampleValues();
    auto unauthorized = MainDialog(0, values);
    Shoot(
        unauthorized.get(), [&] { return unauthorized->DoModal(); }, "main-not-authorized");

    values.Token = "tok-alice";
    auto authorized = MainDialog(0, values);
    Shoot(
        authorized.get(), [&] { return authorized->DoModal(); }, "main-authorized");

    auto checking = MainDialog(0, values, Check::NeverAnswers);
    Shoot(
        checking.get(), [&] { return checking->DoModal(); }, "main-checking-account");

    auto secondHost = MainDialog(1, values);
    Shoot(
        secondHost.get(), [&] { return secondHost->DoModal(); }, "main-second-host");

    shootingPrompts.next = "message-check-failed";
    auto failing = MainDialog(0, values, Check::ServiceFails);
    Shoot(
        failing.get(), [&] { return failing->DoModal(); }, "main-check-failed-token-kept", 1500);

    auto invalid = MainDialog(0, values);
    QTimer::singleShot(600, invalid.get(), [&invalid] {
        shootingPrompts.next = "message-max-files-range";
        invalid->feedRows[0].maxFiles->setText("99999999999");
        invalid->okButton->click();
        shootingPrompts.next = "message-no-tags";
        invalid->feedRows[0].maxFiles->setText("200");
        invalid->tagsEdit->clear();
        invalid->okButton->click();
        shootingPrompts.next = "message-help";
        invalid->helpButton->click();
        invalid->tagsEdit->setFocus(Qt::TabFocusReason);
        invalid->cancelButton->setFocus(Qt::TabFocusReason);
    });
    Shoot(
        invalid.get(), [&] { return invalid->DoModal(); }, "main-cancel-focused-no-tags", 2500);

    values.Enabled = 0;
    auto disabled = MainDialog(0, values);
    Shoot(
        disabled.get(), [&] { return disabled->DoModal(); }, "main-plugin-disabled");
}

void ShootDownloadSettings() {
    CDwnlSettingsDlg dialog;
    dialog.Values = test::DownloadSettings(1, 1, 1, 7, 12, 1, "Photo by ");
    Shoot(
        &dialog, [&] { return dialog.DoModal(); }, "download-settings");
    CDwnlSettingsDlg synchronized;
    synchronized.Values = test::DownloadSettings(0, 0, 0, 7, 0, 0, "");
    Shoot(
        &synchronized, [&] { return synchronized.DoModal(); }, "download-settings-synchronize");
}

void ShootFolderChooser() {
    test::WhenModal<QFileDialog>([](QFileDialog* chooser) {
        QTimer::singleShot(300, chooser, [chooser] {
            Save(chooser, "folder-chooser");
            chooser->reject();
        });
    });
    SECDirSelectDlg chooser(FromQt(Tr(kTextSelectFolder)), QDir::homePath().toStdString());
    (void)chooser.DoModal();
}

void ShootLogin() {
    {
        // Run as root with the web engine's sandbox on: the window says why instead.
        CAuthorizeDlg asRoot(0, nullptr, SandboxEnvironment{0, nullptr, nullptr});
        Shoot(
            &asRoot, [&] { return asRoot.DoModal(); }, "authorize-as-root");
    }
#if PIXOLUNE_HAVE_STUB
    pixolune::test::StubServer stub;
    ::setenv("PIXOLUNE_OAUTH_BASE", stub.OAuthBase().c_str(), 1);
    ::setenv("PIXOLUNE_OAUTH_REDIRECT", (stub.BaseUrl() + "/ir.php").c_str(), 1);
#endif
    {
        CAuthorizeDlg login(0);
        bool shot = false;
        QObject::connect(login.Page(), &QWebEnginePage::loadFinished, &login, [&](bool) {
            if (shot) return;
            shot = true;
            QTimer::singleShot(500, &login, [&login] {
                Save(&login, "authorize");
                login.reject();
            });
        });
        QTimer::singleShot(20000, &login, [&login] { login.reject(); });
        (void)login.DoModal();
    }
#if PIXOLUNE_HAVE_STUB
    {
        // Another site hands the window a token of its own choice.
        CAuthorizeDlg foreign(0);
        bool sent = false;
        QObject::connect(foreign.Page(), &QWebEnginePage::loadFinished, &foreign, [&](bool) {
            if (sent) return;
            sent = true;
            foreign.Page()->runJavaScript(
                QString("location.href='http://localhost:%1/x#access_token=EVIL'")
                    .arg(stub.Port()));
            QTimer::singleShot(1500, &foreign, [&] {
                Save(&foreign, "authorize-foreign-token");
                foreign.reject();
            });
        });
        QTimer::singleShot(20000, &foreign, [&foreign] { foreign.reject(); });
        (void)foreign.DoModal();
    }
    stub.SetFault(R"({"path":"/oauth/authorize/","mode":"stall"})");
    CAuthorizeDlg stalled(0);
    stalled.SetStalledPageTimeout(1500);
    QTimer::singleShot(2500, &stalled, [&stalled] {
        Save(&stalled, "authorize-stalled");
        stalled.reject();
    });
    (void)stalled.DoModal();
    stub.ClearFaults();
#endif
}

}  // namespace
}  // namespace pixolune::ui

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication application(argc, argv);
    // The language of LANG / LANGUAGE, as the plug-in's dialogs take it.
    const pixolune::ui::DialogTranslations translations;
    pixolune::ui::outputFolder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(pixolune::ui::outputFolder);
    pixolune::ui::ShootMainDialogs();
    pixolune::ui::ShootDownloadSettings();
    pixolune::ui::ShootFolderChooser();
    pixolune::ui::ShootLogin();
    return pixolune::ui::failures == 0 ? 0 : 1;
}
