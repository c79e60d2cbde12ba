#include "ui/download_settings_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <map>

#include "widget_test_support.h"

namespace pixolune::ui {
namespace {

class DownloadSettingsDialogTest : public ::testing::Test {
  protected:
    int Run(std::function<void()> act) {
        QTimer::singleShot(20, [act] { act(); });
        QTimer::singleShot(5000, &dialog, [this] { dialog.reject(); });
        return dialog.DoModal();
    }
    test::ScriptedPrompts prompts;
    CDwnlSettingsDlg dialog{nullptr, &prompts};
};

// Where a control shows, in the dialog's coordinates.
QRect PlaceIn(const QWidget& dialog, const QWidget* control) {
    return QRect(control->mapTo(&dialog, QPoint(0, 0)), control->size());
}

// Reading order: a line above comes first; on one line, left before right.
bool ReadBefore(const QRect& a, const QRect& b) {
    if (a.bottom() < b.top()) return true;
    if (b.bottom() < a.top()) return false;
    return a.left() < b.left();
}

TEST_F(DownloadSettingsDialogTest, TabOrderVisitsEveryControlTopToBottomAndLeftToRight) {
    dialog.show();
    std::vector<QWidget*> controls;
    for (QWidget* w : dialog.findChildren<QWidget*>())
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(&dialog)) controls.push_back(w);
    std::vector<QWidget*> chain;
    QWidget* w = dialog.restartCheck;
    do {
        if (std::find(controls.begin(), controls.end(), w) != controls.end()) chain.push_back(w);
        w = w->nextInFocusChain();
    } while (w != dialog.restartCheck && chain.size() < 50);
    ASSERT_EQ(controls.size(), chain.size());
    EXPECT_EQ(dialog.cancelButton, chain.back());
    for (size_t i = 1; i < chain.size(); ++i) {
        EXPECT_TRUE(ReadBefore(PlaceIn(dialog, chain[i - 1]), PlaceIn(dialog, chain[i])))
            << chain[i - 1]->objectName().toStdString() << " before "
            << chain[i]->objectName().toStdString();
    }
}

// A row of the settings table without its control would never be shown or
// saved; an edit without its label could not be reached by its mnemonic.
TEST_F(DownloadSettingsDialogTest, EverySettingTheDialogEditsHasAControlNamedAfterItAndLabelled) {
    std::map<QWidget*, QString> labels;
    for (QLabel* label : dialog.findChildren<QLabel*>())
        if (label->buddy()) labels[label->buddy()] = label->text();
    for (const SettingRow& row : kSettings) {
        const bool bound = dialog.findChild<QObject*>(row.key) != nullptr;
        EXPECT_EQ(row.dialog == SettingDialog::Download, bound) << row.key;
        if (auto* edit = dialog.findChild<QLineEdit*>(row.key)) {
            EXPECT_EQ(LabelOf(row), labels[edit]) << row.key;
        }
    }
}

TEST_F(DownloadSettingsDialogTest, NoButtonSelectedStaysMinusOneAndAgeFieldsAreEnabled) {
    dialog.Values = test::DownloadSettings(0, 1, 0, 2, 5, -1, "x");
    bool ageEnabled = false, prefixEnabled = true, noneChecked = false;
    ASSERT_EQ(QDialog::Accepted, Run([&] {
                  ageEnabled = dialog.daysEdit->isEnabled() && dialog.hoursLabel->isEnabled();
                  prefixEnabled = dialog.prefixEdit->isEnabled();
                  noneChecked =
                      !dialog.synchronizeRadio->isChecked() && !dialog.olderRadio->isChecked();
                  dialog.okButton->click();
              }));
    EXPECT_TRUE(ageEnabled);
    EXPECT_FALSE(prefixEnabled);
    EXPECT_TRUE(noneChecked);
    EXPECT_EQ(-1, dialog.Values.FeedsSynch);
    EXPECT_EQ("x", dialog.Values.AuthPrefix) << "a disabled prefix is stored all the same";
}

TEST_F(DownloadSettingsDialogTest, RadioClicksSwitchTheAgeFieldsAndStayExclusive) {
    dialog.Values = test::DownloadSettings(0, 0, 0, 1, 0, 1, "");
    bool afterFirst = true, afterSecond = false, firstStillOn = false;
    ASSERT_EQ(QDialog::Accepted, Run([&] {
                  dialog.synchronizeRadio->click();
                  afterFirst = dialog.daysEdit->isEnabled();
                  dialog.synchronizeRadio->click();  // a second click keeps it selected
                  firstStillOn =
                      dialog.synchronizeRadio->isChecked() && !dialog.olderRadio->isChecked();
                  dialog.olderRadio->click();
                  afterSecond = dialog.daysEdit->isEnabled();
                  dialog.synchronizeRadio->click();
                  dialog.okButton->click();
              }));
    EXPECT_FALSE(afterFirst);
    EXPECT_TRUE(firstStillOn);
    EXPECT_TRUE(afterSecond);
    EXPECT_EQ(0, dialog.Values.FeedsSynch);
}

TEST_F(DownloadSettingsDialogTest, ArrowKeysMoveTheSelectionWithinTheRadioGroup) {
    dialog.Values = test::DownloadSettings(0, 0, 0, 1, 0, 0, "");
    const auto press = [](QWidget* target, int key) {
        QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(target, &down);
    };
    bool focusTaken = false, movedDown = false, ageAfterDown = false, movedUp = false;
    ASSERT_EQ(QDialog::Accepted, Run([&] {
                  // The keys move the application's focus widget: wait until the window is active.
                  dialog.activateWindow();
                  dialog.synchronizeRadio->setFocus();
                  focusTaken = test::WaitUntil(
                      [&] { return QApplication::focusWidget() == dialog.synchronizeRadio; });
                  press(dialog.synchronizeRadio, Qt::Key_Down);
                  movedDown = dialog.olderRadio->isChecked() &&
                              !dialog.synchronizeRadio->isChecked() &&
                              dialog.olderRadio->hasFocus();
                  ageAfterDown = dialog.daysEdit->isEnabled();
                  press(dialog.olderRadio, Qt::Key_Up);
                  movedUp = dialog.synchronizeRadio->isChecked() && !dialog.olderRadio->isChecked();
                  press(dialog.synchronizeRadio, Qt::Key_Down);
                  dialog.okButton->click();
              }));
    EXPECT_TRUE(focusTaken);
    EXPECT_TRUE(movedDown);
    EXPECT_TRUE(ageAfterDown);
    EXPECT_TRUE(movedUp);
    EXPECT_EQ(1, dialog.Values.FeedsSynch);
}

// Greyed out, the days are not the user's to fix: OK takes the dialog as it
// is and keeps the days that were handed in.
TEST_F(DownloadSettingsDialogTest, DaysOutOfRangeWhileLockedAreNotCheckedAndKeepTheirValue) {
    dialog.Values = test::DownloadSettings(0, 0, 0, 1, 0, 0, "");
    bool locked = false;
    ASSERT_EQ(QDialog::Accepted, Run([&] {
                  dialog.daysEdit->setText("10000000");
                  locked = !dialog.daysEdit->isEnabled();
                  dialog.okButton->click();
              }));
    EXPECT_TRUE(locked);
    EXPECT_TRUE(prompts.informed.isEmpty()) << prompts.informed.join("|").toStdString();
    EXPECT_EQ(1, dialog.Values.OlderDays);
}

}  // namespace
}  // namespace pixolune::ui
