#pragma once

#include <QApplication>
#include <QDeadlineTimer>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "model/plugin_settings.h"
#include "ui/exchange_dialog.h"

namespace pixolune::ui::test {

// Records every notice and answers questions from a script (OK when the script is empty).
class ScriptedPrompts final : public DialogPrompts {
  public:
    void Inform(QWidget*, const QString& text) override { informed.push_back(text); }
    bool Confirm(QWidget*, const QString& text) override {
        asked.push_back(text);
        if (answers.empty()) return true;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    QStringList informed;
    QStringList asked;
    std::deque<bool> answers;
};

// Runs `act` on the first modal dialog of type T once it is up, from the event
// loop of whatever runs it; gives up (and closes what is open) after `tries`.
template <class T>
void WhenModal(std::function<void(T*)> act, int tries = 200) {
    QTimer::singleShot(10, [act, tries] {
        if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
            act(dialog);
        } else if (tries > 0) {
            WhenModal<T>(act, tries - 1);
        } else if (QWidget* other = QApplication::activeModalWidget()) {
            other->close();
        }
    });
}

// Settings with the seven values the download settings dialog edits; the others as at load.
inline DialogSettings DownloadSettings(int32_t restartKal, int32_t kpropTitle, int32_t kpropOwner,
                                       int32_t olderDays, int32_t olderHours, int32_t feedsSynch,
                                       std::string authPrefix) {
    DialogSettings settings;
    settings.RestartKal = restartKal;
    settings.KpropTitle = kpropTitle;
    settings.KpropOwner = kpropOwner;
    settings.OlderDays = olderDays;
    settings.OlderHours = olderHours;
    settings.FeedsSynch = feedsSynch;
    settings.AuthPrefix = std::move(authPrefix);
    return settings;
}

// Runs the event loop until `condition` holds; false when it did not within the time.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 5000) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

}  // namespace pixolune::ui::test
