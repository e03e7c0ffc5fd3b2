#include "qt/PassW.h"

#include "qt/DialogFrame.h"
#include "qt/FormStyle.h"
#include "qt/MaskEdit.h"

#include <QLabel>
#include <QPushButton>

TPasswDlg *PasswDlg = nullptr;

TPasswDlg::TPasswDlg(QWidget *parent) : QDialog(parent) {
  setObjectName(QStringLiteral("PasswDlg"));
  SetUpFixedDialog(this, QStringLiteral("Контроль доступа"), 233, 139);
  setFont(SansSerifFont(11, true)); // bold for the form, regular for the controls

  Label1 = new QLabel(QStringLiteral("Указанные изменения могут быть произведены только после "
                                     "верного ввода пароля:"),
                      this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->setFont(SansSerifFont(11));
  Label1->setGeometry(8, 9, 217, 39);
  Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  Label1->setWordWrap(true);
  Label1->setTextFormat(Qt::PlainText);

  MaskEdit1 = new TMaskEdit(this);
  MaskEdit1->setObjectName(QStringLiteral("MaskEdit1"));
  MaskEdit1->setFont(SansSerifFont(11));
  MaskEdit1->setGeometry(53, 64, 128, 21);

  OKBtn = MakeOkButton(this);
  OKBtn->setGeometry(18, 99, 77, 27);
  CancelBtn = MakeCancelButton(this);
  CancelBtn->setGeometry(130, 99, 77, 27);

  setTabOrder(MaskEdit1, OKBtn);
  setTabOrder(OKBtn, CancelBtn);
  MaskEdit1->setFocus();
}

std::optional<std::string> ExecPasswDlg(const std::string &message) {
  TPasswDlg dialog;
  dialog.Label1->setText(QString::fromStdString(message));
  PasswDlg = &dialog;
  const int result = dialog.exec();
  PasswDlg = nullptr;
  if (result != QDialog::Accepted)
    return std::nullopt;
  return dialog.MaskEdit1->Text();
}
