// Drives modal dialogs from inside their own event loop.
#pragma once

#include <QApplication>
#include <QWidget>
#include <functional>

// Once a visible, active modal widget for which `accept` holds is up, runs
// `action` on it (from the event loop). Gives up after a few seconds so that a
// failing case does not act on the wrong window.
void WhenModal(std::function<bool(QWidget *)> accept, std::function<void(QWidget *)> action);

// The same for the first active modal widget of type T.
template <class T> void WhenModal(std::function<void(T *)> action) {
  WhenModal([](QWidget *w) { return qobject_cast<T *>(w) != nullptr; },
            [action](QWidget *w) { action(qobject_cast<T *>(w)); });
}
