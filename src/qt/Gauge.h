// TGauge: a horizontal percentage bar with the value written across it.
#pragma once

#include <QString>
#include <QWidget>

class TGauge : public QWidget {
  Q_OBJECT
public:
  static constexpr int kMinValue = 0;
  static constexpr int kMaxValue = 100;

  explicit TGauge(QWidget *parent = nullptr);

  // Stores the value brought into 0 ... 100 and repaints.
  void SetProgress(int value);
  int Progress() const { return FProgress; }

  // The text shown on the bar, "42%".
  QString Text() const;
  // The area inside the single-line frame.
  QRect InnerRect() const;
  // Pixels of the inner width that are filled: inner width * value / 100.
  int FilledWidth() const;

  QSize sizeHint() const override;

protected:
  void paintEvent(QPaintEvent *event) override;

private:
  int FProgress = kMinValue;
};
