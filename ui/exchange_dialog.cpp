#include "ui/exchange_dialog.h"

#include <QFontMetrics>
#include <QMessageBox>
#include <QWidget>

#include "ui/dialog_texts.h"

namespace pixolune::ui {
namespace {

class MessageBoxes final : public DialogPrompts {
  public:
    void Inform(QWidget* parent, const QString& text) override {
        QMessageBox::information(parent, ToQt(kMessageBoxCaption), text, QMessageBox::Ok);
    }
    bool Confirm(QWidget* parent, const QString& text) override {
        return QMessageBox::warning(parent, ToQt(kMessageBoxCaption), text,
                                    QMessageBox::Ok | QMessageBox::Cancel,
                                    QMessageBox::Ok) == QMessageBox::Ok;
    }
};

}  // namespace

DialogPrompts& MessageBoxPrompts() {
    static MessageBoxes prompts;
    return prompts;
}

// A dialog unit is a quarter of the average character width and an eighth of
// the character height.
DialogUnits::DialogUnits(const QWidget& dialog)
    : charWidth_(QFontMetrics(dialog.font()).averageCharWidth()),
      charHeight_(QFontMetrics(dialog.font()).height()) {}

int DialogUnits::X(int units) const {
    return (units * charWidth_ + 3) / 4;
}
int DialogUnits::Y(int units) const {
    return (units * charHeight_ + 7) / 8;
}

CExchangeDialog::CExchangeDialog(QWidget* parent, DialogPrompts* prompts)
    : QDialog(parent), prompts_(prompts ? prompts : &MessageBoxPrompts()) {
    // Caption bar with a close box, no help or size buttons: a modal frame.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setModal(true);
}

int CExchangeDialog::DoModal() {
    OnInitDialog();
    return exec();
}

void CExchangeDialog::accept() {
    if (DoDataExchange(true)) QDialog::accept();
}

void CExchangeDialog::OnInitDialog() {
    (void)DoDataExchange(false);
}

bool CExchangeDialog::FailOn(QWidget* control, const std::string& message) {
    if (!message.empty()) prompts_->Inform(this, ToQt(message));
    // A locked control stays locked: what it holds may be a value its lock
    // keeps from the host, and only the enabling rules may open it.
    if (control && control->isEnabled()) control->setFocus(Qt::OtherFocusReason);
    return false;
}

void SetEnabled(std::initializer_list<QWidget*> controls, bool enabled) {
    for (QWidget* control : controls) control->setEnabled(enabled);
}

void ChainTabOrder(const std::vector<QWidget*>& order) {
    for (size_t i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

}  // namespace pixolune::ui
