#include "qt/FormStyle.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

QFont SansSerifFont(int pixelSize, bool bold) {
  QFont font;
  // Faces of about MS Sans Serif's width first; DejaVu Sans is wider but
  // nearly always there.
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                    QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                    QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixelSize);
  font.setBold(bold);
  return font;
}

void CentreOnScreen(QWidget *widget) {
  QScreen *screen = widget->screen();
  if (!screen)
    screen = QGuiApplication::primaryScreen();
  if (!screen)
    return;
  const QRect area = screen->availableGeometry();
  // Before the first show the frame is not known yet; the client size is
  // close enough then.
  QRect frame = widget->frameGeometry();
  if (frame.size().isEmpty())
    frame = QRect(QPoint(0, 0), widget->size());
  frame.moveCenter(area.center());
  widget->move(frame.topLeft());
}

namespace {
class TScreenCentring : public QObject {
public:
  using QObject::QObject;
  bool eventFilter(QObject *watched, QEvent *event) override {
    if (event->type() == QEvent::Show && watched->isWidgetType())
      CentreOnScreen(static_cast<QWidget *>(watched));
    return false;
  }
};
} // namespace

void CentreOnScreenWhenShown(QWidget *widget) {
  widget->installEventFilter(new TScreenCentring(widget));
}
