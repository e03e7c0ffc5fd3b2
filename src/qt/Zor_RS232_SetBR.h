// The baud-rate dialog: one numeric field.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class TRxSpinEdit;

class TZor_RS232_SetBRDlg : public QDialog {
  Q_OBJECT
public:
  static constexpr int kMinBaudRate = 110;
  static constexpr int kMaxBaudRate = 921600;
  static constexpr int kBaudRateStep = 10;

  explicit TZor_RS232_SetBRDlg(QWidget *parent = nullptr);

  QPushButton *OKBtn;
  QPushButton *CancelBtn;
  QPushButton *HelpBtn;
  QLabel *Label2;
  TRxSpinEdit *BSE;
};
