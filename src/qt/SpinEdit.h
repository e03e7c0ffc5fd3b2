// TRxSpinEdit: an integer field with up and down buttons.
//
// Only digits, "+" and "-" can be typed (anything else is refused with a
// beep; control keys pass). The buttons and the Up/Down keys add or subtract
// Increment. A value set from outside is brought into MinValue ... MaxValue at
// once; a typed out-of-range text stays in the field until the field loses the
// focus, and is then replaced by the nearer bound. Enter and Escape are left
// to the dialog, which presses its default and cancel buttons with them.
#pragma once

#include <QLineEdit>
#include <cstdint>
#include <optional>

class QToolButton;

class TRxSpinEdit : public QLineEdit {
  Q_OBJECT
public:
  explicit TRxSpinEdit(QWidget *parent = nullptr);

  int64_t MinValue() const { return FMinValue; }
  int64_t MaxValue() const { return FMaxValue; }
  int64_t Increment() const { return FIncrement; }
  // Setting one bound past the other moves the other along.
  void SetMinValue(int64_t value);
  void SetMaxValue(int64_t value);
  void SetIncrement(int64_t value);

  // The field's current reading, not brought into range: the text as an
  // integer (saturated to the 64-bit range), or MinValue when the text does
  // not read as an integer (empty, a lone sign, a sign in the middle).
  int64_t Value() const;
  // Shows `value` brought into MinValue ... MaxValue.
  void SetValue(int64_t value);
  // What losing the focus does: an unreadable or out-of-range text is
  // replaced by the nearer bound; an in-range text is left as typed.
  void CheckValue();

  // The text read as an integer, or nothing when it is not one.
  static std::optional<int64_t> ParseInteger(const QString &text);

  QToolButton *UpButton() const { return FUpButton; }
  QToolButton *DownButton() const { return FDownButton; }

  QSize sizeHint() const override;

protected:
  void keyPressEvent(QKeyEvent *event) override;
  void focusOutEvent(QFocusEvent *event) override;
  void resizeEvent(QResizeEvent *event) override;

private:
  void Step(int direction);
  int64_t Clamped(int64_t value) const;
  void PlaceButtons();

  int64_t FMinValue = 0;
  int64_t FMaxValue = 100;
  int64_t FIncrement = 1;
  QToolButton *FUpButton;
  QToolButton *FDownButton;
};
