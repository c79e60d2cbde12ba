#include "ui/main_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <atomic>
#include <mutex>

#include "tests/support/temp_dir.h"
#if PIXOLUNE_HAVE_STUB
#include "tests/support/stub_server.h"
#include "ui/account_check.h"
#endif
#include "ui/dialog_texts.h"
#include "ui/dialog_translations.h"
#include "ui/download_settings_dialog.h"
#include "ui/main_dialog_logic.h"
#include "widget_test_support.h"

namespace pixolune::ui {
namespace {

AccountCheckResult FakeQuery(const std::string& token) {
    if (token == "tok-alice") return {true, "Alice Example", "alice", "", {}, ""};
    return {false,
            "",
            "",
            "Connection to Pixolune server failed with error 400",
            AccountCheckFailure::Refused,
            "HTTP status 400"};
}

class MainDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(media.Path().empty());
        values.Enabled = 1;
        values.ImgFolder = media.Path() + "/";
        values.tmUpdate = 180;
        values.DwlPhoto = 1;
        values.RestartKal = 1;
        values.OlderDays = 7;
        values.FeedsSynch = 0;
        CPixoluneFeed feed;
        feed.Type = kFeedLiked;
        feed.MaxP = 40;
        values.Feeds = {feed};
    }

    std::unique_ptr<CPixoluneDlg> MakeDialog(int hostVariant = 0) {
        MainDialogServices services;
        services.checkAccount = [this](const std::string& token, const CancelQuery&) {
            // Runs on the check's own thread.
            std::lock_guard<std::mutex> guard(checkedLock);
            checkedTokens.push_back(token);
            paintsBeforeCheck.push_back(paints.load());
            return FakeQuery(token);
        };
        services.authorize = [this](QWidget*) { return loginOutcome; };
        services.prompts = &prompts;
        auto dialog = std::make_unique<CPixoluneDlg>(nullptr, hostVariant, services);
        dialog->Values = values;
        dialog->installEventFilter(&paintCounter);
        return dialog;
    }

    // Counts the paints of the dialog on the GUI thread, for the check's thread to read.
    struct PaintCounter : QObject {
        explicit PaintCounter(std::atomic<int>& count) : count_(count) {}
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint) ++count_;
            return false;
        }
        std::atomic<int>& count_;
    };

    // Runs the dialog; `act` runs once it is up and must end it.
    int Run(CPixoluneDlg& dialog, std::function<void()> act) {
        QTimer::singleShot(20, [act] { act(); });
        QTimer::singleShot(5000, &dialog, [&dialog] { dialog.reject(); });  // never hang the run
        return dialog.DoModal();
    }

    pixolune::test::TempDir media;
    ConfigurationValues values;
    test::ScriptedPrompts prompts;
    std::mutex checkedLock;  // guards checkedTokens and paintsBeforeCheck
    std::vector<std::string> checkedTokens;
    std::vector<int> paintsBeforeCheck;
    std::atomic<int> paints{0};
    PaintCounter paintCounter{paints};
    AddressVerdict loginOutcome;
};

TEST_F(MainDialogTest, TabOrderFollowsTheLayoutTopToBottomAndLabelsNameTheirEdits) {
    auto d = MakeDialog();
    std::vector<QWidget*> expected = {d->enabledCheck, d->folderEdit, d->browseButton};
    for (const auto& row : d->feedRows) {
        expected.push_back(row.check);
        expected.push_back(row.maxFiles);
        EXPECT_EQ(row.maxFiles, row.label->buddy());
    }
    for (QWidget* w : std::initializer_list<QWidget*>{
             d->tagsEdit, d->photosCheck, d->videosCheck, d->minutesEdit, d->okButton,
             d->cancelButton, d->helpButton, d->settingsButton, d->authorizeButton}) {
        expected.push_back(w);
    }
    EXPECT_EQ(d->folderEdit, d->folderLabel->buddy());
    EXPECT_EQ(d->minutesEdit, d->minutesLabel->buddy());
    std::vector<QWidget*> chain;
    QWidget* w = d->enabledCheck;
    do {
        if (w->focusPolicy() & Qt::TabFocus) chain.push_back(w);
        w = w->nextInFocusChain();
    } while (w != d->enabledCheck && chain.size() < 100);
    EXPECT_EQ(expected, chain);
}

struct LanguageCase {
    const char* name;
    QLocale locale;
    const char* title;
    const char* tagsRow;
    const char* groupTitle;
    const char* tagsRowMessage;  // a row named in a message: without its colon
    const char* minutesLabel;    // a label of the settings table
};

class MainDialogLanguageTest : public MainDialogTest,
                               public ::testing::WithParamInterface<LanguageCase> {};

// In each shipped language, loaded from the locale as the plug-in does.
TEST_P(MainDialogLanguageTest, ShowsEveryTextInFullAndNothingIsClippedAtDefaultSize) {
    const DialogTranslations translations(GetParam().locale);
    auto d = MakeDialog();
    d->show();
    EXPECT_EQ(GetParam().title, d->windowTitle().toStdString());
    EXPECT_EQ(GetParam().tagsRow, d->feedRows[4].check->text().toStdString());
    EXPECT_EQ(GetParam().groupTitle, d->feedGroup->title().toStdString());
    EXPECT_EQ(GetParam().minutesLabel, d->minutesLabel->text().toStdString());
    EXPECT_EQ(
        GetParam().tagsRowMessage,
        Tr({kTextRowMaxFilesRange, {{FeedRowName(4), true, true}, {"1"}, {"2"}}}).toStdString());
    EXPECT_TRUE(d->okButton->isDefault());
    for (QWidget* child : d->findChildren<QWidget*>()) {
        if (!child->isVisibleTo(d.get())) continue;
        const std::string name = child->metaObject()->className();
        // A push button only needs room for its text; the others for their whole hint.
        QSize needed = child->minimumSizeHint();
        if (auto* button = qobject_cast<QPushButton*>(child)) {
            const QString shown = QString(button->text()).remove('&');  // the mnemonic marker
            needed.setWidth(button->fontMetrics().horizontalAdvance(shown) + 4);
        }
        EXPECT_GE(child->width(), needed.width())
            << name << " " << child->property("text").toString().toStdString() << " "
            << child->property("title").toString().toStdString();
        EXPECT_GE(child->height(), needed.height()) << name;
        const QRect inDialog(child->mapTo(d.get(), QPoint(0, 0)), child->size());
        EXPECT_TRUE(d->rect().contains(inDialog)) << name;
    }
    d->statusLabel->setText(Tr(kTextNotAuthenticated));
    EXPECT_GE(d->statusLabel->height(), d->statusLabel->heightForWidth(d->statusLabel->width()));
}

INSTANTIATE_TEST_SUITE_P(
    Languages, MainDialogLanguageTest,
    ::testing::Values(
        LanguageCase{"English", QLocale(QLocale::English, QLocale::UnitedStates),
                     "Pixolune PlugIn 1.4.0",
                     "Photos/Videos with tags:", "Choose media files you want to see from Pixolune",
                     "\"Photos/Videos with tags\", Max N. of files: enter an integer between 1 and "
                     "2.",
                     "Check downloads at startup and &every :"},
        LanguageCase{
            "German", QLocale(QLocale::German, QLocale::Germany), "Pixolune-Plugin 1.4.0",
            "Fotos/Videos mit Schlagw\u00f6rtern:",
            "W\u00e4hlen Sie, welche Mediendateien von Pixolune Sie sehen m\u00f6chten",
            "\u201eFotos/Videos mit Schlagw\u00f6rtern\u201c, H\u00f6chstzahl Dateien: Geben "
            "Sie eine ganze Zahl zwischen 1 und 2 ein.",
            "Beim Start und dann a&lle"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainDialogTest, TypedValuesReachTheFieldsOnOk) {
    auto d = MakeDialog();
    d->Values.Token = "tok-alice";
    const int result = Run(*d, [&] {
        d->folderEdit->setText(QString::fromStdString(media.Path()));
        d->minutesEdit->setText("75");
        d->feedRows[3].check->click();  // off
        d->feedRows[0].check->click();  // on
        d->feedRows[0].maxFiles->setText("12");
        d->feedRows[4].check->click();
        d->tagsEdit->setText("sunset,sea");
        d->videosCheck->click();
        d->okButton->click();
    });
    ASSERT_EQ(QDialog::Accepted, result);
    EXPECT_TRUE(prompts.informed.isEmpty()) << prompts.informed.join("|").toStdString();
    EXPECT_EQ(media.Path(), d->Values.ImgFolder);
    EXPECT_EQ(75, d->Values.tmUpdate);
    EXPECT_EQ(1, d->Values.DwlVideo);
    EXPECT_EQ("tok-alice", d->Values.Token);
    ASSERT_EQ(2u, d->Values.Feeds.size());
    EXPECT_EQ(kFeedMine, d->Values.Feeds[0].Type);
    EXPECT_EQ(12, d->Values.Feeds[0].MaxP);
    EXPECT_EQ(kFeedTagged, d->Values.Feeds[1].Type);
    EXPECT_EQ("sunset,sea", d->Values.Feeds[1].Tags);
}

TEST_F(MainDialogTest, BadNumberKeepsTheDialogOpenWithFocusAndMessageOnThatEdit) {
    auto d = MakeDialog();
    d->Values.Token = "tok-alice";  // the liked row is open for editing
    bool stillOpen = false;
    QWidget* focused = nullptr;
    const int result = Run(*d, [&] {
        d->minutesEdit->setText("75");
        d->feedRows[3].maxFiles->setText("20001");
        d->okButton->click();
        stillOpen = d->isVisible();
        focused = d->focusWidget();
        d->cancelButton->click();
    });
    EXPECT_EQ(QDialog::Rejected, result);
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(d->feedRows[3].maxFiles, focused);
    EXPECT_EQ(QStringList{"\"Photos/Videos I like\", Max N. of files: enter an integer between 1 "
                          "and 20000."},
              prompts.informed);
    ASSERT_EQ(1u, d->Values.Feeds.size()) << "a refused OK changes none of the dialog's values";
    EXPECT_EQ(kFeedLiked, d->Values.Feeds[0].Type);
    EXPECT_EQ(40, d->Values.Feeds[0].MaxP);
    EXPECT_EQ(180, d->Values.tmUpdate);
}

struct ShortPollingCase {
    const char* name;
    int hostVariant;
    bool pluginEnabled;
    bool minutesOpen;  // what the enabling rules say
};

class ShortPollingCancelTest : public MainDialogTest,
                               public ::testing::WithParamInterface<ShortPollingCase> {};

// Cancel on the short-polling question returns to the minutes, the value it
// asks about; greyed out, the minutes are not asked about at all.
TEST_P(ShortPollingCancelTest, ReturnsToTheMinutesWhenTheRulesLeaveThemOpen) {
    values.Enabled = GetParam().pluginEnabled;
    auto d = MakeDialog(GetParam().hostVariant);
    prompts.answers = {false, true};
    QWidget* focused = nullptr;
    const int result = Run(*d, [&] {
        d->minutesEdit->setText("59");
        d->okButton->click();
        focused = d->focusWidget();
        if (d->isVisible()) d->okButton->click();
    });
    const QStringList asked =
        GetParam().minutesOpen ? QStringList{kTextShortPolling, kTextShortPolling} : QStringList{};
    EXPECT_EQ(asked, prompts.asked);
    EXPECT_TRUE(prompts.informed.isEmpty()) << prompts.informed.join("|").toStdString();
    if (GetParam().minutesOpen) {
        EXPECT_EQ(d->minutesEdit, focused);
    }
    ASSERT_EQ(QDialog::Accepted, result);
    EXPECT_EQ(GetParam().minutesOpen ? 59 : 180, d->Values.tmUpdate);
}

INSTANTIATE_TEST_SUITE_P(Locks, ShortPollingCancelTest,
                         ::testing::Values(ShortPollingCase{"FirstHost", 0, true, true},
                                           ShortPollingCase{"SecondHost", 1, true, true},
                                           ShortPollingCase{"PluginOff", 0, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct EnterCase {
    const char* name;
    std::function<QWidget*(CPixoluneDlg&)> focused;
    int result;
    bool settingsOpened;
};

class EnterKeyTest : public MainDialogTest, public ::testing::WithParamInterface<EnterCase> {};

// Enter presses the button that has the focus; in a text field it means OK.
TEST_P(EnterKeyTest, PressesTheFocusedButtonOrOk) {
    auto d = MakeDialog();
    bool settingsOpened = false;
    if (GetParam().settingsOpened) {
        test::WhenModal<CDwnlSettingsDlg>([&](CDwnlSettingsDlg* settings) {
            settingsOpened = true;
            settings->cancelButton->click();
        });
    }
    const int result = Run(*d, [&] {
        QWidget* target = GetParam().focused(*d);
        target->setFocus(Qt::TabFocusReason);
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        if (d->isVisible()) d->reject();
    });
    EXPECT_EQ(GetParam().result, result);
    EXPECT_EQ(GetParam().settingsOpened, settingsOpened);
    EXPECT_TRUE(d->okButton->isDefault()) << "OK is the default again once the focus leaves";
}

INSTANTIATE_TEST_SUITE_P(
    Controls, EnterKeyTest,
    ::testing::Values(EnterCase{"Cancel", [](CPixoluneDlg& d) { return d.cancelButton; },
                                QDialog::Rejected, false},
                      EnterCase{"Settings", [](CPixoluneDlg& d) { return d.settingsButton; },
                                QDialog::Rejected, true},
                      EnterCase{"Ok", [](CPixoluneDlg& d) { return d.okButton; }, QDialog::Accepted,
                                false},
                      EnterCase{"TextField", [](CPixoluneDlg& d) { return d.minutesEdit; },
                                QDialog::Accepted, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainDialogTest, WithoutATokenTheFeedsAreLockedAndLoginUnlocksThem) {
    auto d = MakeDialog();
    loginOutcome = {AddressVerdict::Kind::Authorized, "tok-alice", ""};
    bool checksBefore = true, rowBefore = true, checksAfter = false, rowAfter = false;
    QString statusBefore, statusAfter;
    Run(*d, [&] {
        checksBefore = d->feedRows[0].check->isEnabled();
        rowBefore = d->feedRows[3].maxFiles->isEnabled();
        statusBefore = d->statusLabel->text();
        d->authorizeButton->click();
        EXPECT_TRUE(test::WaitUntil([&] { return !d->AccountCheckRunning(); }));
        checksAfter = d->feedRows[0].check->isEnabled();
        rowAfter = d->feedRows[3].maxFiles->isEnabled();
        statusAfter = d->statusLabel->text();
        d->reject();
    });
    EXPECT_FALSE(checksBefore);
    EXPECT_FALSE(rowBefore);
    EXPECT_EQ(kTextNotAuthenticated, statusBefore);
    EXPECT_TRUE(checksAfter);
    EXPECT_TRUE(rowAfter);
    EXPECT_EQ("Pixolune Plugin is currently authenticated\nAlice Example (alice)", statusAfter);
    EXPECT_EQ(std::vector<std::string>{"tok-alice"}, checkedTokens);
}

TEST_F(MainDialogTest, RefusedLoginShowsItsTextAndKeepsTheToken) {
    auto d = MakeDialog();
    d->Values.Token = "tok-alice";
    loginOutcome = {AddressVerdict::Kind::Refused, "", kTextAuthorizationDenied};
    Run(*d, [&] {
        d->authorizeButton->click();
        d->okButton->click();
    });
    EXPECT_EQ(QStringList{kTextAuthorizationDenied}, prompts.informed);
    EXPECT_EQ("tok-alice", d->Values.Token);
}

TEST_F(MainDialogTest, StoredTokenIsCheckedAfterTheDialogAppearsAndDroppedWhenStale) {
    auto d = MakeDialog();
    d->Values.Token = "stale";
    QString statusAfterCheck;
    bool feedsEnabledAfterCheck = true;
    const int result = Run(*d, [&] {
        EXPECT_TRUE(test::WaitUntil([&] { return !prompts.informed.isEmpty(); }));
        statusAfterCheck = d->statusLabel->text();
        feedsEnabledAfterCheck = d->feedRows[0].check->isEnabled();
        d->okButton->click();
    });
    ASSERT_EQ(QDialog::Accepted, result);
    EXPECT_EQ(std::vector<std::string>{"stale"}, checkedTokens);
    ASSERT_EQ(1u, paintsBeforeCheck.size());
    EXPECT_GT(paintsBeforeCheck[0], 0) << "the check ran before the dialog was painted";
    EXPECT_EQ(kTextNotAuthenticated, statusAfterCheck);
    EXPECT_FALSE(feedsEnabledAfterCheck);
    EXPECT_EQ(QStringList{kTextSignInRefused}, prompts.informed);
    EXPECT_EQ("", d->Values.Token);
}

TEST_F(MainDialogTest, SecondHostLocksTheMediaKindsAndDisablingLocksEverythingButOkCancelHelp) {
    auto d = MakeDialog(1);
    d->Values.Token = "tok-alice";
    bool photos = true, folder = false, folderAfter = true, okAfter = false, helpAfter = false;
    Run(*d, [&] {
        photos = d->photosCheck->isEnabled();
        folder = d->folderEdit->isEnabled();
        d->enabledCheck->click();
        folderAfter = d->folderEdit->isEnabled() || d->feedRows[3].check->isEnabled() ||
                      d->settingsButton->isEnabled() || d->authorizeButton->isEnabled() ||
                      d->minutesEdit->isEnabled();
        okAfter = d->okButton->isEnabled() && d->cancelButton->isEnabled();
        helpAfter = d->helpButton->isEnabled() && d->enabledCheck->isEnabled();
        d->reject();
    });
    EXPECT_FALSE(photos);
    EXPECT_TRUE(folder);
    EXPECT_FALSE(folderAfter);
    EXPECT_TRUE(okAfter);
    EXPECT_TRUE(helpAfter);
}

TEST_F(MainDialogTest, FolderButtonOpensTheChooserAndTakesItsPathWithSlash) {
    auto d = MakeDialog();
    pixolune::test::TempDir picked;
    QString title;
    QString folderText;
    Run(*d, [&] {
        test::WhenModal<QFileDialog>([&](QFileDialog* chooser) {
            title = chooser->windowTitle();
            chooser->setDirectory(QString::fromStdString(picked.Path()));
            QMetaObject::invokeMethod(chooser, "accept");
        });
        d->browseButton->click();
        folderText = d->folderEdit->text();
        d->reject();
    });
    EXPECT_EQ(kTextSelectFolder, title);
    EXPECT_EQ(QString::fromStdString(picked.Path() + "/"), folderText);
}

TEST_F(MainDialogTest, SettingsButtonOpensTheDownloadSettingsAndOkTakesThemBack) {
    auto d = MakeDialog();
    bool restartShown = false;
    Run(*d, [&] {
        test::WhenModal<CDwnlSettingsDlg>([&](CDwnlSettingsDlg* settings) {
            restartShown = settings->restartCheck->isChecked();
            settings->olderRadio->click();
            settings->daysEdit->setText("3");
            settings->ownerCheck->click();
            settings->prefixEdit->setText("by ");
            settings->okButton->click();
        });
        d->settingsButton->click();
        d->okButton->click();
    });
    EXPECT_TRUE(restartShown);
    EXPECT_EQ(1, d->Values.FeedsSynch);
    EXPECT_EQ(3, d->Values.OlderDays);
    EXPECT_EQ(1, d->Values.KpropOwner);
    EXPECT_EQ("by ", d->Values.AuthPrefix);
}

TEST_F(MainDialogTest, SettingsCancelKeepsTheValues) {
    auto d = MakeDialog();
    Run(*d, [&] {
        test::WhenModal<CDwnlSettingsDlg>([&](CDwnlSettingsDlg* settings) {
            settings->daysEdit->setText("99");
            settings->cancelButton->click();
        });
        d->settingsButton->click();
        d->okButton->click();
    });
    EXPECT_EQ(7, d->Values.OlderDays);
}

#if PIXOLUNE_HAVE_STUB
// Records what the status label showed each time it was painted.
struct PaintedTexts : QObject {
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) texts << qobject_cast<QLabel*>(watched)->text();
        return false;
    }
    QStringList texts;
};

TEST_F(MainDialogTest, StalledAccountCheckLeavesTheDialogPaintedAndUsableAndCancelAbandonsIt) {
    pixolune::test::StubServer stub;
    stub.SetFault(R"({"path":"/v1/users/self/","mode":"stall"})");
    ::setenv("PIXOLUNE_API_BASE", stub.ApiBase().c_str(), 1);
    MainDialogServices services;
    services.checkAccount = ServiceAccountChecker();
    services.authorize = [](QWidget*) { return AddressVerdict{}; };
    services.prompts = &prompts;
    CPixoluneDlg d(nullptr, 0, services);
    d.Values = values;
    d.Values.Token = "tok-alice";
    PaintedTexts painted;
    d.statusLabel->installEventFilter(&painted);
    bool asked = false, checking = false, folderLocked = false;
    Qt::CursorShape cursor = Qt::ArrowCursor;
    const int result = Run(d, [&] {
        asked = test::WaitUntil([&] { return !stub.Requests().empty(); });
        checking = test::WaitUntil([&] { return painted.texts.contains(kTextCheckingAccount); });
        cursor = d.statusLabel->cursor().shape();
        d.enabledCheck->click();  // the dialog answers while the service does not
        folderLocked = !d.folderEdit->isEnabled();
        d.cancelButton->click();
    });
    ::unsetenv("PIXOLUNE_API_BASE");
    EXPECT_EQ(QDialog::Rejected, result);
    EXPECT_TRUE(asked);
    EXPECT_TRUE(checking) << painted.texts.join("|").toStdString();
    EXPECT_EQ(Qt::WaitCursor, cursor);
    EXPECT_TRUE(folderLocked);
    EXPECT_FALSE(d.AccountCheckRunning());
    EXPECT_EQ(Qt::ArrowCursor, d.statusLabel->cursor().shape());
    // The abandoned check's failure reaches nobody, now or later.
    QCoreApplication::processEvents();
    EXPECT_TRUE(prompts.informed.isEmpty()) << prompts.informed.join("|").toStdString();
    EXPECT_EQ(kTextCheckingAccount, d.statusLabel->text());
}
#endif

}  // namespace
}  // namespace pixolune::ui
