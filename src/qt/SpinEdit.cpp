#include "qt/SpinEdit.h"

#include <QApplication>
#include <QKeyEvent>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QToolButton>
#include <algorithm>
#include <limits>

namespace {
constexpr int kButtonWidth = 15;

bool IsAllowedChar(QChar c) {
  return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('+') ||
         c == QLatin1Char('-');
}

QToolButton *MakeButton(QWidget *parent, Qt::ArrowType arrow, const char *name) {
  auto *button = new QToolButton(parent);
  button->setObjectName(QLatin1String(name));
  button->setArrowType(arrow);
  button->setFocusPolicy(Qt::NoFocus); // the field keeps the focus while stepping
  button->setAutoRepeat(true);
  button->setCursor(Qt::ArrowCursor);
  return button;
}
} // namespace

TRxSpinEdit::TRxSpinEdit(QWidget *parent)
    : QLineEdit(parent), FUpButton(MakeButton(this, Qt::UpArrow, "UpButton")),
      FDownButton(MakeButton(this, Qt::DownArrow, "DownButton")) {
  setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  // Keeps pasted text to the characters that can be typed.
  setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[-+0-9]*")), this));
  setTextMargins(0, 0, kButtonWidth, 0);
  connect(FUpButton, &QToolButton::clicked, this, [this] { Step(+1); });
  connect(FDownButton, &QToolButton::clicked, this, [this] { Step(-1); });
  SetValue(FMinValue);
}

void TRxSpinEdit::SetMinValue(int64_t value) {
  FMinValue = value;
  FMaxValue = std::max(FMaxValue, value);
}

void TRxSpinEdit::SetMaxValue(int64_t value) {
  FMaxValue = value;
  FMinValue = std::min(FMinValue, value);
}

void TRxSpinEdit::SetIncrement(int64_t value) {
  FIncrement = value;
}

std::optional<int64_t> TRxSpinEdit::ParseInteger(const QString &text) {
  const QString s = text.trimmed();
  qsizetype i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == QLatin1Char('+') || s[i] == QLatin1Char('-'))) {
    negative = s[i] == QLatin1Char('-');
    ++i;
  }
  if (i == s.size())
    return std::nullopt;
  // Accumulate towards the sign so that the most negative value fits, and
  // saturate rather than wrap: a huge typed number is simply out of range.
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  int64_t value = 0;
  bool saturated = false;
  for (; i < s.size(); ++i) {
    const QChar c = s[i];
    if (c < QLatin1Char('0') || c > QLatin1Char('9'))
      return std::nullopt;
    const int digit = c.unicode() - '0';
    if (saturated)
      continue;
    if (!negative) {
      if (value > (kMax - digit) / 10) {
        value = kMax;
        saturated = true;
      } else {
        value = value * 10 + digit;
      }
    } else {
      if (value < (kMin + digit) / 10) {
        value = kMin;
        saturated = true;
      } else {
        value = value * 10 - digit;
      }
    }
  }
  return value;
}

int64_t TRxSpinEdit::Value() const {
  return ParseInteger(text()).value_or(FMinValue);
}

int64_t TRxSpinEdit::Clamped(int64_t value) const {
  return std::clamp(value, FMinValue, FMaxValue);
}

void TRxSpinEdit::SetValue(int64_t value) {
  setText(QString::number(Clamped(value)));
}

void TRxSpinEdit::CheckValue() {
  const std::optional<int64_t> reading = ParseInteger(text());
  if (!reading || Clamped(*reading) != *reading)
    SetValue(reading.value_or(FMinValue));
}

void TRxSpinEdit::Step(int direction) {
  const int64_t value = Clamped(Value());
  if (direction > 0)
    SetValue(value > FMaxValue - FIncrement ? FMaxValue : value + FIncrement);
  else
    SetValue(value < FMinValue + FIncrement ? FMinValue : value - FIncrement);
}

void TRxSpinEdit::keyPressEvent(QKeyEvent *event) {
  switch (event->key()) {
  case Qt::Key_Up:
    Step(+1);
    event->accept();
    return;
  case Qt::Key_Down:
    Step(-1);
    event->accept();
    return;
  case Qt::Key_Return:
  case Qt::Key_Enter:
  case Qt::Key_Escape:
    event->ignore(); // the dialog's default and cancel buttons
    return;
  default:
    break;
  }
  const bool shortcut = event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier);
  const QString typed = event->text();
  if (!shortcut && !typed.isEmpty()) {
    const bool printable = std::all_of(typed.begin(), typed.end(), [](QChar c) {
      return c.unicode() >= 0x20 && c.unicode() != 0x7F;
    });
    if (printable && !std::all_of(typed.begin(), typed.end(), IsAllowedChar)) {
      QApplication::beep();
      event->accept();
      return;
    }
  }
  QLineEdit::keyPressEvent(event);
}

void TRxSpinEdit::focusOutEvent(QFocusEvent *event) {
  CheckValue();
  QLineEdit::focusOutEvent(event);
}

void TRxSpinEdit::resizeEvent(QResizeEvent *event) {
  QLineEdit::resizeEvent(event);
  PlaceButtons();
}

void TRxSpinEdit::PlaceButtons() {
  const int frame =
      hasFrame() ? style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this) : 0;
  const QRect area = rect().adjusted(frame, frame, -frame, -frame);
  const int upHeight = area.height() / 2;
  const int left = area.right() + 1 - kButtonWidth;
  FUpButton->setGeometry(left, area.top(), kButtonWidth, upHeight);
  FDownButton->setGeometry(left, area.top() + upHeight, kButtonWidth, area.height() - upHeight);
}

QSize TRxSpinEdit::sizeHint() const {
  return {97, 21};
}
