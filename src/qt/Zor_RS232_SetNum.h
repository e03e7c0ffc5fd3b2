// The port-number dialog: a list of the ports that can be opened.
#pragma once

#include <QDialog>

class QComboBox;
class QLabel;
class QPushButton;

class TZor_RS232_SetNumDlg : public QDialog {
  Q_OBJECT
public:
  explicit TZor_RS232_SetNumDlg(QWidget *parent = nullptr);

  QPushButton *OKBtn;
  QPushButton *CancelBtn;
  QPushButton *HelpBtn;
  QComboBox *PCB;
  QLabel *Label1;
  // The device path of the selected entry, shown under the list.
  QLabel *PathLabel;

  // Appends an entry ("COMn") and the device path it names.
  void AddPort(const QString &entry, const QString &devicePath);

private:
  void ShowSelectedPath();
};
