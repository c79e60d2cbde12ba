#include "ui/exchange_dialog.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QMessageBox>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QWidget>

#include "ui/dialog_texts.h"

namespace pixolune::ui {
namespace {

class MessageBoxes final : public DialogPrompts {
  public:
    void Inform(QWidget* parent, const QString& text) override {
        QMessageBox::information(parent, Tr(kMessageBoxCaption), text, QMessageBox::Ok);
    }
    bool Confirm(QWidget* parent, const QString& text) override {
        return QMessageBox::warning(parent, Tr(kMessageBoxCaption), text,
                                    QMessageBox::Ok | QMessageBox::Cancel,
                                    QMessageBox::Ok) == QMessageBox::Ok;
    }
};

constexpr const char* kTranslationContext = "pixolune::ui";

QString Translate(const std::string& text) {
    return QCoreApplication::translate(kTranslationContext, text.c_str());
}

}  // namespace

QString Tr(const UiText& text) {
    QString translated = Translate(text.source);
    std::vector<QString> args;
    for (const UiArg& arg : text.args) {
        QString value = arg.ours ? Translate(arg.text) : ToQt(arg.text);
        if (arg.label && value.endsWith(':')) value.chop(1);
        args.push_back(value);
    }
    // All values at once: a value holding "%2" must not be filled in again.
    switch (args.size()) {
        case 0:
            return translated;
        case 1:
            return translated.arg(args[0]);
        case 2:
            return translated.arg(args[0], args[1]);
        default:
            return translated.arg(args[0], args[1], args[2]);
    }
}

QString LabelOf(const SettingRow& setting) {
    return Translate(setting.texts.label);
}

QString UnitOf(const SettingRow& setting) {
    return Translate(setting.texts.unit);
}

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
    setSizeGripEnabled(true);  // every dialog can be made larger, or smaller than its screen
}

int CExchangeDialog::DoModal() {
    OnInitDialog();
    QMetaObject::invokeMethod(
        this, [this] { FocusFirstControl(); }, Qt::QueuedConnection);
    return exec();
}

void CExchangeDialog::accept() {
    if (DoDataExchange(true)) QDialog::accept();
}

void CExchangeDialog::OnInitDialog() {
    (void)DoDataExchange(false);
}

bool CExchangeDialog::FailOn(QWidget* control, const UiText& message) {
    if (!message.empty()) prompts_->Inform(this, Tr(message));
    // A locked control stays locked: what it holds may be a value its lock
    // keeps from the host, and only the enabling rules may open it.
    if (control && control->isEnabled()) control->setFocus(Qt::OtherFocusReason);
    return false;
}

QWidget* CExchangeDialog::Content() {
    if (content_) return content_;
    content_ = new QWidget;
    scroll_ = new QScrollArea(this);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setWidget(content_);
    scroll_->setFocusPolicy(Qt::NoFocus);  // Tab goes from control to control, not to the frame
    // See-through, so that the dialog paints its own background (and knows it has been shown).
    scroll_->viewport()->setAutoFillBackground(false);
    content_->setAutoFillBackground(false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll_);
    return content_;
}

// A 2x scale on a 1280 x 800 screen leaves 640 x 400 for the dialog: it opens
// at the size of the screen and scrolls, instead of hiding its buttons.
QSize CExchangeDialog::sizeHint() const {
    QSize wanted = content_ ? content_->sizeHint() : QDialog::sizeHint();
    if (content_ && content_->layout())
        wanted = wanted.expandedTo(content_->layout()->minimumSize());
    if (const QScreen* shownOn = screen()) {
        const QSize available = shownOn->availableGeometry().size();
        // Room for the window frame and caption, which the available size still includes.
        wanted = wanted.boundedTo(QSize(available.width() - 16, available.height() - 48));
    }
    return wanted;
}

// Qt would open a window at two thirds of the screen at most; the dialog
// takes the room it needs, as long as the screen has it.
void CExchangeDialog::showEvent(QShowEvent* event) {
    if (!fitted_) {
        fitted_ = true;
        FitToScreen();
    }
    QDialog::showEvent(event);
}

void CExchangeDialog::FitToScreen() {
    const QSize wanted = sizeHint();
    setMinimumSize(QSize(160, 120).boundedTo(wanted));
    resize(wanted);
}

void CExchangeDialog::FocusFirstControl() {
    // As after a press of Tab, so that the focus mark shows at once: styles
    // draw it only once the keyboard has moved the focus in the window.
    setAttribute(Qt::WA_KeyboardFocusChange);
    if (QWidget* focused = focusWidget()) {
        focused->setFocus(Qt::TabFocusReason);
        return;
    }
    focusNextChild();
}

void SetEnabled(std::initializer_list<QWidget*> controls, bool enabled) {
    for (QWidget* control : controls) control->setEnabled(enabled);
}

void ChainTabOrder(const std::vector<QWidget*>& order) {
    for (size_t i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

std::vector<QWidget*> FocusOrderOf(const QLayout* layout) {
    std::vector<QWidget*> order;
    if (!layout) return order;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        std::vector<QWidget*> inner;
        if (QWidget* widget = item->widget()) {
            if (widget->focusPolicy() & Qt::TabFocus)
                order.push_back(widget);
            else
                inner = FocusOrderOf(widget->layout());
        } else {
            inner = FocusOrderOf(item->layout());
        }
        order.insert(order.end(), inner.begin(), inner.end());
    }
    return order;
}

}  // namespace pixolune::ui
