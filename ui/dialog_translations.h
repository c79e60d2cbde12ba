#pragma once

#include <QLocale>
#include <QTranslator>
#include <memory>
#include <vector>

namespace pixolune::ui {

// The dialogs' texts in the user's language for as long as the object lives:
// our translations (pixolune_<lang>.qm) from "translations" beside the
// library or program that holds the dialogs (a build tree), else from the
// installed folder relative to it; and Qt's own (the buttons of message
// boxes, the folder picker) from Qt's folder. A language without a file stays
// English.
class DialogTranslations {
  public:
    explicit DialogTranslations(const QLocale& locale = QLocale());
    ~DialogTranslations();
    DialogTranslations(const DialogTranslations&) = delete;
    DialogTranslations& operator=(const DialogTranslations&) = delete;

    // True when our texts are translated (not for English, the source language).
    [[nodiscard]] bool Loaded() const { return ours_ != nullptr; }

  private:
    std::unique_ptr<QTranslator> ours_;
    std::unique_ptr<QTranslator> qtOwn_;
};

}  // namespace pixolune::ui
