#pragma once

#include <QDialog>
#include <QString>
#include <initializer_list>
#include <string>
#include <vector>

#include "ui/dialog_texts.h"

class QLayout;
class QScrollArea;
class QWidget;

namespace pixolune::ui {

// The questions and notices a dialog puts to the user; message boxes normally,
// a script in tests.
class DialogPrompts {
  public:
    virtual ~DialogPrompts() = default;
    virtual void Inform(QWidget* parent, const QString& text) = 0;
    // OK/Cancel question; true for OK.
    virtual bool Confirm(QWidget* parent, const QString& text) = 0;
};

// Message boxes with the plug-in's caption.
DialogPrompts& MessageBoxPrompts();

// Converts dialog units (a quarter of the font's mean character width, an
// eighth of its height) to pixels, so that controls keep their proportions whatever the font.
class DialogUnits {
  public:
    explicit DialogUnits(const QWidget& dialog);
    [[nodiscard]] int X(int units) const;
    [[nodiscard]] int Y(int units) const;

  private:
    int charWidth_;
    int charHeight_;
};

// A modal dialog with a data exchange: on opening the fields go to the
// controls, on OK the controls go back to the fields and are validated; the
// first bad control gets the focus and its message, and the dialog stays open.
class CExchangeDialog : public QDialog {
    Q_OBJECT

  public:
    explicit CExchangeDialog(QWidget* parent, DialogPrompts* prompts);

    // Initialises the dialog and runs it; QDialog::Accepted for OK.
    int DoModal();

    // OK: exchange and validate, end only when every control is valid.
    void accept() override;

    // The size of the laid-out controls, never larger than the screen leaves free.
    [[nodiscard]] QSize sizeHint() const override;

  protected:
    // Loads the controls; dialogs with more to do at opening extend it.
    virtual void OnInitDialog();
    // Moves the values between fields and controls; false on the first bad control.
    [[nodiscard]] virtual bool DoDataExchange(bool saveAndValidate) = 0;

    // Shows the message unless it is empty, puts the focus on the control when it
    // is given and enabled (never enables it), returns false.
    bool FailOn(QWidget* control, const UiText& message);

    DialogPrompts& Prompts() const { return *prompts_; }

    // The widget the dialog lays its controls out on. It scrolls when the
    // screen is smaller than the dialog, so that no control is ever out of reach.
    [[nodiscard]] QWidget* Content();

    // Sizes the dialog to its layout, never larger than the screen it opens
    // on leaves free; done when it is first shown.
    void FitToScreen();
    void showEvent(QShowEvent* event) override;

    // Shows the focused control, the first one at opening, with a visible focus mark.
    void FocusFirstControl();

  private:
    DialogPrompts* prompts_;
    QScrollArea* scroll_ = nullptr;
    QWidget* content_ = nullptr;
    bool fitted_ = false;
};

// Translates a text of ours and fills in its values.
[[nodiscard]] QString Tr(const UiText& text);

// A setting's label and unit as its row of kSettings has them, translated.
[[nodiscard]] QString LabelOf(const SettingRow& setting);
[[nodiscard]] QString UnitOf(const SettingRow& setting);

// Enables or disables the controls together, as one rule decides for all of them.
void SetEnabled(std::initializer_list<QWidget*> controls, bool enabled);

// Makes Tab move through the controls in the order given.
void ChainTabOrder(const std::vector<QWidget*>& order);

// The controls that take Tab, in the order `layout` places them, a group
// box's controls in its place.
[[nodiscard]] std::vector<QWidget*> FocusOrderOf(const QLayout* layout);

[[nodiscard]] inline QString ToQt(const std::string& text) {
    return QString::fromStdString(text);
}
[[nodiscard]] inline std::string FromQt(const QString& text) {
    return text.toStdString();
}

}  // namespace pixolune::ui
