#include "ModalDriver.h"

#include <QTimer>

void WhenModal(std::function<bool(QWidget *)> accept, std::function<void(QWidget *)> action) {
  auto *timer = new QTimer(qApp);
  auto tries = std::make_shared<int>(0);
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, timer, [=] {
    QWidget *modal = QApplication::activeModalWidget();
    if (modal && modal->isVisible() && modal->isActiveWindow() && accept(modal)) {
      timer->stop();
      timer->deleteLater();
      action(modal);
    } else if (++*tries > 500) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start();
}
