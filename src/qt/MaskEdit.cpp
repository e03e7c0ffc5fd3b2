#include "qt/MaskEdit.h"

#include <QApplication>
#include <QKeyEvent>
#include <QProxyStyle>
#include <QValidator>
#include <algorithm>

namespace {
// The line edit takes its password character from the style.
class TDollarEchoStyle : public QProxyStyle {
public:
  int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                QStyleHintReturn *returnData) const override {
    if (hint == SH_LineEdit_PasswordCharacter)
      return TMaskEdit::kPasswordChar.unicode();
    if (hint == SH_LineEdit_PasswordMaskDelay)
      return 0; // never show the last typed character in clear
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

// Also guards pasted text: letters and digits only, at most ten.
class TAlphaNumValidator : public QValidator {
public:
  using QValidator::QValidator;
  State validate(QString &input, int &) const override {
    if (input.size() > TMaskEdit::kPositions)
      return Invalid;
    return std::all_of(input.begin(), input.end(), TMaskEdit::IsAccepted) ? Acceptable : Invalid;
  }
};
} // namespace

TMaskEdit::TMaskEdit(QWidget *parent) : QLineEdit(parent) {
  auto *echoStyle = new TDollarEchoStyle;
  echoStyle->setParent(this);
  setStyle(echoStyle);
  setEchoMode(QLineEdit::Password);
  setMaxLength(kPositions);
  setValidator(new TAlphaNumValidator(this));
}

bool TMaskEdit::IsAccepted(QChar c) {
  return c.isLetter() || c.isDigit();
}

std::string TMaskEdit::Text() const {
  return text().toStdString();
}

void TMaskEdit::keyPressEvent(QKeyEvent *event) {
  const bool shortcut = event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier);
  const QString typed = event->text();
  if (!shortcut && !typed.isEmpty() && typed.front().unicode() >= 0x20 &&
      typed.front().unicode() != 0x7F) {
    const bool full = text().size() >= kPositions && !hasSelectedText();
    if (full || !std::all_of(typed.begin(), typed.end(), IsAccepted)) {
      QApplication::beep();
      event->accept();
      return;
    }
  }
  QLineEdit::keyPressEvent(event);
}
