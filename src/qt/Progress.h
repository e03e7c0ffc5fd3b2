// TProgressForm: the window a load runs under. It shows the stage and the
// percentage and carries the operator's Cancel, which only sets Cancelled;
// the load sequence reads the flag and ends the run itself.
#pragma once

#include "loader/ProgressView.h"

#include <QWidget>

class QLabel;
class QPushButton;
class TGauge;

class TProgressForm : public QWidget, public ProgressView {
  Q_OBJECT
public:
  // Created hidden, without a parent (a top-level window of its own).
  explicit TProgressForm(QWidget *parent = nullptr);
  ~TProgressForm() override;

  TGauge *ProgressGauge;
  QLabel *ProgressLabel;
  QPushButton *BitBtn1;
  bool Cancelled = false;

  void FormCreate();
  void BitBtn1Click();

  // ProgressView
  void ShowView() override;
  void SetCancelVisible(bool visible) override;
  void SetLabel(const std::string &text) override;
  void SetGaugeVisible(bool visible) override;
  void SetGaugeValue(int percent) override;
  bool IsCancelled() const override { return Cancelled; }

protected:
  void keyPressEvent(QKeyEvent *event) override;
  // The window goes away only when the load sequence destroys it.
  void closeEvent(QCloseEvent *event) override;
};
