#include "qt/WindowHints.h"

#include <QEvent>
#include <QGuiApplication>
#include <QWidget>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>
#include <xcb/xcb.h>

namespace {

xcb_connection_t *X11Connection() {
  const auto *x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->connection() : nullptr;
}

xcb_atom_t InternAtom(xcb_connection_t *connection, const char *name) {
  xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name),
      nullptr);
  xcb_atom_t atom = XCB_ATOM_NONE;
  if (reply)
    atom = reply->atom;
  std::free(reply);
  return atom;
}

// The 32-bit values of a window property of type `type` (at most `count`).
std::vector<uint32_t> PropertyValues(xcb_connection_t *connection, xcb_window_t window,
                                     xcb_atom_t property, xcb_atom_t type, uint32_t count) {
  xcb_get_property_reply_t *reply = xcb_get_property_reply(
      connection, xcb_get_property(connection, 0, window, property, type, 0, count), nullptr);
  std::vector<uint32_t> values;
  if (reply && reply->format == 32) {
    const auto *data = static_cast<const uint32_t *>(xcb_get_property_value(reply));
    values.assign(data, data + xcb_get_property_value_length(reply) / 4);
  }
  std::free(reply);
  return values;
}

std::optional<QMargins> ReadFrameExtents(xcb_connection_t *connection, xcb_window_t window,
                                         xcb_atom_t extents) {
  const std::vector<uint32_t> sides =
      PropertyValues(connection, window, extents, XCB_ATOM_CARDINAL, 4);
  if (sides.size() != 4)
    return std::nullopt;
  // left, right, top, bottom
  return QMargins(static_cast<int>(sides[0]), static_cast<int>(sides[2]),
                  static_cast<int>(sides[1]), static_cast<int>(sides[3]));
}

void WriteMotifHints(QWidget *widget, const MotifWmHints &hints) {
  xcb_connection_t *connection = X11Connection();
  if (!connection)
    return;
  const xcb_atom_t atom = InternAtom(connection, "_MOTIF_WM_HINTS");
  if (atom == XCB_ATOM_NONE)
    return;
  const auto window = static_cast<xcb_window_t>(widget->winId());
  const std::array<uint32_t, 5> fields = {hints.Flags, hints.Functions, hints.Decorations,
                                          static_cast<uint32_t>(hints.InputMode), hints.Status};
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, atom, atom, 32, fields.size(),
                      fields.data());
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

std::optional<QMargins> RequestFrameExtents(QWidget *widget, std::chrono::milliseconds limit) {
  xcb_connection_t *connection = X11Connection();
  if (!connection)
    return std::nullopt;
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
  const xcb_atom_t request = InternAtom(connection, "_NET_REQUEST_FRAME_EXTENTS");
  const xcb_atom_t extents = InternAtom(connection, "_NET_FRAME_EXTENTS");
  const std::vector<uint32_t> supported = PropertyValues(
      connection, root, InternAtom(connection, "_NET_SUPPORTED"), XCB_ATOM_ATOM, 4096);
  if (request == XCB_ATOM_NONE ||
      std::find(supported.begin(), supported.end(), request) == supported.end())
    return std::nullopt;

  const auto window = static_cast<xcb_window_t>(widget->winId());
  xcb_client_message_event_t message{};
  message.response_type = XCB_CLIENT_MESSAGE;
  message.format = 32;
  message.window = window;
  message.type = request;
  xcb_send_event(connection, 0, root,
                 XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                 reinterpret_cast<const char *>(&message));
  xcb_flush(connection);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (auto sides = ReadFrameExtents(connection, window, extents))
      return sides;
    if (std::chrono::steady_clock::now() >= deadline)
      return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::optional<QMargins> FrameExtents(QWidget *widget) {
  xcb_connection_t *connection = X11Connection();
  if (!connection)
    return std::nullopt;
  const xcb_atom_t extents = InternAtom(connection, "_NET_FRAME_EXTENTS");
  if (extents == XCB_ATOM_NONE)
    return std::nullopt;
  return ReadFrameExtents(connection, static_cast<xcb_window_t>(widget->winId()), extents);
}
