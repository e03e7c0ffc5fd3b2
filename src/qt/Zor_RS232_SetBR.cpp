#include "qt/Zor_RS232_SetBR.h"

#include "qt/DialogFrame.h"
#include "qt/SpinEdit.h"

#include <QLabel>
#include <QPushButton>

TZor_RS232_SetBRDlg::TZor_RS232_SetBRDlg(QWidget *parent) : QDialog(parent) {
  setObjectName(QStringLiteral("Zor_RS232_SetBRDlg"));
  // "СОМ" in Cyrillic letters, as the system writes it.
  SetUpFixedDialog(this, QStringLiteral("Выбор скорости обмена СОМ-порта"), 301, 89);

  OKBtn = MakeOkButton(this);
  OKBtn->setGeometry(8, 48, 80, 27);
  CancelBtn = MakeCancelButton(this);
  CancelBtn->setGeometry(108, 48, 80, 27);
  HelpBtn = MakeHelpButton(this, kBaudRateHelpContext);
  HelpBtn->setGeometry(208, 48, 80, 27);

  Label2 = new QLabel(QStringLiteral("Скорость обмена, бод"), this);
  Label2->setObjectName(QStringLiteral("Label2"));
  Label2->setGeometry(8, 16, 153, 13);

  BSE = new TRxSpinEdit(this);
  BSE->setObjectName(QStringLiteral("BSE"));
  BSE->setGeometry(192, 12, 97, 21);
  BSE->SetMinValue(kMinBaudRate);
  BSE->SetMaxValue(kMaxBaudRate);
  BSE->SetIncrement(kBaudRateStep);
  BSE->SetValue(kMinBaudRate);

  setTabOrder(OKBtn, CancelBtn);
  setTabOrder(CancelBtn, HelpBtn);
  setTabOrder(HelpBtn, BSE);
  OKBtn->setFocus();
}
