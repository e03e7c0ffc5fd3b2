#include "qt/WindowHints.h"

#include <QEvent>
#include <QGuiApplication>
#include <QWidget>
#include <array>
#include <cstdlib>
#include <xcb/xcb.h>

namespace {

constexpr char kMotifHintsAtom[] = "_MOTIF_WM_HINTS";

void WriteMotifHints(QWidget *widget, const MotifWmHints &hints) {
  const auto *x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (!x11 || !x11->connection())
    return;
  xcb_connection_t *connection = x11->connection();
  const auto window = static_cast<xcb_window_t>(widget->winId());
  xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, sizeof kMotifHintsAtom - 1, kMotifHintsAtom),
      nullptr);
  if (!atom)
    return;
  const std::array<uint32_t, 5> fields = {hints.Flags, hints.Functions, hints.Decorations,
                                          static_cast<uint32_t>(hints.InputMode), hints.Status};
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, atom->atom, atom->atom, 32,
                      fields.size(), fields.data());
  std::free(atom);
  xcb_flush(connection);
}

// Qt sends the show event after it has created the native window (and
// written its own hints) and before it maps it.
class TMotifHintsKeeper : public QObject {
public:
  TMotifHintsKeeper(QWidget *widget, const MotifWmHints &hints) : QObject(widget), Hints(hints) {}
  bool eventFilter(QObject *watched, QEvent *event) override {
    if (event->type() == QEvent::Show && watched == parent())
      WriteMotifHints(static_cast<QWidget *>(watched), Hints);
    return false;
  }
  const MotifWmHints Hints;
};

} // namespace

MotifWmHints ProgressWindowHints() {
  using namespace mwm;
  return {.Flags = kHintsFunctions | kHintsDecorations,
          .Functions = kFuncMove,
          .Decorations = kDecorBorder | kDecorTitle};
}

MotifWmHints MainWindowHints() {
  using namespace mwm;
  return {.Flags = kHintsFunctions | kHintsDecorations,
          .Functions = kFuncMove | kFuncMinimize | kFuncClose,
          .Decorations = kDecorBorder | kDecorTitle | kDecorMenu | kDecorMinimize};
}

void KeepMotifHints(QWidget *widget, const MotifWmHints &hints) {
  widget->installEventFilter(new TMotifHintsKeeper(widget, hints));
}

std::optional<MotifWmHints> KeptMotifHints(const QWidget *widget) {
  for (const QObject *child : widget->children())
    if (const auto *keeper = dynamic_cast<const TMotifHintsKeeper *>(child))
      return keeper->Hints;
  return std::nullopt;
}
