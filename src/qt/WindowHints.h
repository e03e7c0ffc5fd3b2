// What an X window manager is told and asked about a top-level window. What
// it may draw on the window and let the operator do with it is told through the Motif hints
// (_MOTIF_WM_HINTS) that window managers read when they first manage a window. Qt writes these
// hints from the window flags, but always with a resize function and handle, and for a title bar
// without buttons with no decorations field at all, which window managers read as "every button".
#pragma once

#include <QMargins>
#include <chrono>
#include <cstdint>
#include <optional>

class QWidget;

// The property's five 32-bit fields, in their order on the wire.
struct MotifWmHints {
  uint32_t Flags = 0;
  uint32_t Functions = 0;
  uint32_t Decorations = 0;
  int32_t InputMode = 0;
  uint32_t Status = 0;
  friend bool operator==(const MotifWmHints &, const MotifWmHints &) = default;
};

namespace mwm {
inline constexpr uint32_t kHintsFunctions = 1u << 0;
inline constexpr uint32_t kHintsDecorations = 1u << 1;

inline constexpr uint32_t kFuncResize = 1u << 1;
inline constexpr uint32_t kFuncMove = 1u << 2;
inline constexpr uint32_t kFuncMinimize = 1u << 3;
inline constexpr uint32_t kFuncMaximize = 1u << 4;
inline constexpr uint32_t kFuncClose = 1u << 5;

inline constexpr uint32_t kDecorBorder = 1u << 1;
inline constexpr uint32_t kDecorResizeHandle = 1u << 2;
inline constexpr uint32_t kDecorTitle = 1u << 3;
inline constexpr uint32_t kDecorMenu = 1u << 4;
inline constexpr uint32_t kDecorMinimize = 1u << 5;
inline constexpr uint32_t kDecorMaximize = 1u << 6;
} // namespace mwm

// The progress window: a fixed border and a title, no buttons and no system
// menu; it can only be moved.
MotifWmHints ProgressWindowHints();
// The main window: a fixed border, a title with the system menu, minimise and
// close; no maximise, no resizing.
MotifWmHints MainWindowHints();

// Writes `hints` on the widget's native window each time it is shown, after Qt
// has written its own and before the window is mapped. Only on X11; elsewhere
// nothing is written.
void KeepMotifHints(QWidget *widget, const MotifWmHints &hints);
// The hints KeepMotifHints keeps for the widget, if any.
std::optional<MotifWmHints> KeptMotifHints(const QWidget *widget);

// The frame the window manager will draw around the widget's window, asked of
// it before the window is mapped (_NET_REQUEST_FRAME_EXTENTS). Nothing off
// X11, when the window manager does not offer that request, or when it does
// not answer within `limit`.
std::optional<QMargins> RequestFrameExtents(QWidget *widget, std::chrono::milliseconds limit);
// The frame the window manager has drawn around the widget's mapped window
// (_NET_FRAME_EXTENTS), read now; nothing off X11 or before it has framed it.
std::optional<QMargins> FrameExtents(QWidget *widget);
