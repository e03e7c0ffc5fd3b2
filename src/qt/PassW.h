// The password dialog of the access gate.
#pragma once

#include <QDialog>
#include <optional>
#include <string>

class QLabel;
class QPushButton;
class TMaskEdit;

class TPasswDlg : public QDialog {
  Q_OBJECT
public:
  explicit TPasswDlg(QWidget *parent = nullptr);

  QLabel *Label1;
  TMaskEdit *MaskEdit1;
  QPushButton *OKBtn;
  QPushButton *CancelBtn;
};

// The dialog while ExecPasswDlg shows it, else nullptr.
extern TPasswDlg *PasswDlg;

// Shows the dialog modally with `message` in place of the label's text.
// Answers the typed text (UTF-8) when OK closed it, or nothing otherwise.
std::optional<std::string> ExecPasswDlg(const std::string &message);
