#include "qt/Gauge.h"

#include "qt/FormStyle.h"

#include <QPainter>
#include <algorithm>

TGauge::TGauge(QWidget *parent) : QWidget(parent) {
  setFont(SansSerifFont(13));
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TGauge::SetProgress(int value) {
  value = std::clamp(value, kMinValue, kMaxValue);
  if (value == FProgress)
    return;
  FProgress = value;
  update();
}

QString TGauge::Text() const {
  return QStringLiteral("%1%").arg(FProgress);
}

QRect TGauge::InnerRect() const {
  return rect().adjusted(1, 1, -1, -1);
}

int TGauge::FilledWidth() const {
  const int inner = std::max(0, InnerRect().width());
  return inner * FProgress / kMaxValue;
}

QSize TGauge::sizeHint() const {
  return {220, 25};
}

void TGauge::paintEvent(QPaintEvent *) {
  QPainter painter(this);
  painter.setPen(Qt::black);
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(rect().adjusted(0, 0, -1, -1));

  const QRect inner = InnerRect();
  if (inner.isEmpty())
    return;
  const int filled = FilledWidth();
  const QRect filledPart(inner.left(), inner.top(), filled, inner.height());
  const QRect emptyPart(inner.left() + filled, inner.top(), inner.width() - filled, inner.height());
  painter.fillRect(filledPart, Qt::black);
  painter.fillRect(emptyPart, Qt::white);

  // The text in the opposite colour of whatever lies beneath it, so that it
  // reads where the bar is filled and where it is not.
  const QString text = Text();
  painter.setFont(font());
  if (!filledPart.isEmpty()) {
    painter.setClipRect(filledPart);
    painter.setPen(Qt::white);
    painter.drawText(inner, Qt::AlignCenter, text);
  }
  if (!emptyPart.isEmpty()) {
    painter.setClipRect(emptyPart);
    painter.setPen(Qt::black);
    painter.drawText(inner, Qt::AlignCenter, text);
  }
}
