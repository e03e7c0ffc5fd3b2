// Fonts and placement shared by the forms of the program.
#pragma once

#include <QFont>

class QWidget;

// The forms' font: MS Sans Serif where it exists, else a sans-serif face that
// carries Cyrillic, at the given height in pixels (the forms are laid out in
// pixels and are not scaled).
QFont SansSerifFont(int pixelSize = 11, bool bold = false);

// Moves a top-level widget so that its frame is centred on its screen's
// available area. Call once the widget has its final size.
void CentreOnScreen(QWidget *widget);

// Centres a fixed-size top-level widget on the screen each time it is shown.
void CentreOnScreenWhenShown(QWidget *widget);
