#include "qt/Zor_RS232_SetNum.h"

#include "qt/DialogFrame.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <algorithm>

namespace {
constexpr int kPathRole = Qt::UserRole + 1;
}

TZor_RS232_SetNumDlg::TZor_RS232_SetNumDlg(QWidget *parent) : QDialog(parent) {
  setObjectName(QStringLiteral("Zor_RS232_SetNumDlg"));
  SetUpFixedDialog(this, QStringLiteral("Выбор номера порта"), 337, 85);

  OKBtn = MakeOkButton(this);
  OKBtn->setGeometry(64, 48, 80, 27);
  CancelBtn = MakeCancelButton(this);
  CancelBtn->setGeometry(156, 48, 80, 27);
  HelpBtn = MakeHelpButton(this, kPortNumberDialogHelpContext);
  HelpBtn->setGeometry(248, 48, 80, 27);

  PCB = new QComboBox(this);
  PCB->setObjectName(QStringLiteral("PCB"));
  PCB->setEditable(false);
  PCB->setGeometry(224, 8, 105, 21);

  Label1 = new QLabel(QStringLiteral("Выберите последовательный порт"), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  // One line of 13 pixels: where the fallback face is wider than MS Sans
  // Serif, the label grows into the gap before the list instead of wrapping
  // out of sight.
  const int textWidth = Label1->fontMetrics().horizontalAdvance(Label1->text());
  Label1->setGeometry(8, 8, std::clamp(textWidth + 1, 201, 212), 13);

  // Fits in the gap between the list and the buttons.
  PathLabel = new QLabel(this);
  PathLabel->setObjectName(QStringLiteral("PathLabel"));
  PathLabel->setGeometry(8, 31, 321, 14);
  PathLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  PathLabel->setTextFormat(Qt::PlainText);
  PathLabel->setForegroundRole(QPalette::PlaceholderText); // muted: information, not a control

  setTabOrder(PCB, OKBtn);
  setTabOrder(OKBtn, CancelBtn);
  setTabOrder(CancelBtn, HelpBtn);
  PCB->setFocus();

  connect(PCB, &QComboBox::currentIndexChanged, this, [this] { ShowSelectedPath(); });
}

void TZor_RS232_SetNumDlg::AddPort(const QString &entry, const QString &devicePath) {
  const int index = PCB->count();
  PCB->addItem(entry);
  PCB->setItemData(index, devicePath, kPathRole);
  PCB->setItemData(index, devicePath, Qt::ToolTipRole);
  ShowSelectedPath();
}

void TZor_RS232_SetNumDlg::ShowSelectedPath() {
  const QString path = PCB->currentData(kPathRole).toString();
  const QFontMetrics metrics(PathLabel->font());
  PathLabel->setText(metrics.elidedText(path, Qt::ElideMiddle, PathLabel->width()));
  PathLabel->setToolTip(path);
  PCB->setToolTip(path);
}
