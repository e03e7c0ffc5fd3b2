#include "qt/Progress.h"

#include "qt/FormStyle.h"
#include "qt/Gauge.h"
#include "qt/WindowHints.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

TProgressForm::TProgressForm(QWidget *parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowStaysOnTopHint) {
  setObjectName(QStringLiteral("ProgressForm"));
  setWindowTitle(QStringLiteral("Progress..."));
  setFont(SansSerifFont(11));
  setFixedSize(261, 113);
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);
  CentreOnScreenWhenShown(this);
  KeepMotifHints(this, ProgressWindowHints());

  ProgressGauge = new TGauge(this);
  ProgressGauge->setObjectName(QStringLiteral("ProgressGauge"));
  ProgressGauge->setGeometry(21, 48, 220, 25);

  ProgressLabel = new QLabel(QStringLiteral("Прогресс"), this);
  ProgressLabel->setObjectName(QStringLiteral("ProgressLabel"));
  ProgressLabel->setGeometry(0, 0, width(), 41);
  ProgressLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  ProgressLabel->setWordWrap(true);
  ProgressLabel->setTextFormat(Qt::PlainText);

  BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton),
                            QStringLiteral("Cancel"), this);
  BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
  BitBtn1->setGeometry(75, 80, 111, 25);
  BitBtn1->setFocus();
  connect(BitBtn1, &QPushButton::clicked, this, &TProgressForm::BitBtn1Click);

  FormCreate();
}

TProgressForm::~TProgressForm() = default;

void TProgressForm::FormCreate() {
  Cancelled = false;
}

void TProgressForm::BitBtn1Click() {
  Cancelled = true;
}

void TProgressForm::ShowView() {
  show();
  raise();
  activateWindow();
}

void TProgressForm::SetCancelVisible(bool visible) {
  BitBtn1->setVisible(visible);
}

void TProgressForm::SetLabel(const std::string &text) {
  ProgressLabel->setText(QString::fromStdString(text));
}

void TProgressForm::SetGaugeVisible(bool visible) {
  ProgressGauge->setVisible(visible);
}

void TProgressForm::SetGaugeValue(int percent) {
  ProgressGauge->SetProgress(percent);
}

void TProgressForm::keyPressEvent(QKeyEvent *event) {
  // Escape presses the cancel button, as long as the operator could press it.
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier &&
      BitBtn1->isVisibleTo(this) && BitBtn1->isEnabled()) {
    BitBtn1->click();
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

void TProgressForm::closeEvent(QCloseEvent *event) {
  event->ignore();
}
