// TMaskEdit: a short secret field. Each of its positions takes one letter or
// one digit; anything else is refused with a beep. What is typed is shown as
// "$" characters.
#pragma once

#include <QLineEdit>
#include <string>

class TMaskEdit : public QLineEdit {
  Q_OBJECT
public:
  static constexpr int kPositions = 10;
  static constexpr QChar kPasswordChar = QLatin1Char('$');

  explicit TMaskEdit(QWidget *parent = nullptr);

  // The characters typed, in order (UTF-8).
  std::string Text() const;

  // Whether a position may hold `c`.
  static bool IsAccepted(QChar c);

protected:
  void keyPressEvent(QKeyEvent *event) override;
};
