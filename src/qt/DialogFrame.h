// What the link's small dialogs share: their frame, font, standard buttons and
// the help shown for their help contexts.
#pragma once

#include <QString>

class QDialog;
class QPushButton;
class QWidget;

// The dialogs' help contexts (the menu command that opens the port-number
// dialog has its own, kPortNumberMenuHelpContext).
inline constexpr int kPortNumberDialogHelpContext = 10001;
inline constexpr int kBaudRateHelpContext = 10305;

// A fixed dialog frame whose title bar carries only the close box, the given
// caption and client size, the forms' 11-pixel font, centred on the screen
// whenever shown.
void SetUpFixedDialog(QDialog *dialog, const QString &caption, int clientWidth, int clientHeight);

// The standard bitmap buttons: caption and glyph of their kind, and what they
// do. OK accepts and is the default button; Cancel rejects (Escape rejects the
// dialog as well); Help shows the help of `helpContext` and leaves the
// dialog open.
QPushButton *MakeOkButton(QDialog *dialog);
QPushButton *MakeCancelButton(QDialog *dialog);
QPushButton *MakeHelpButton(QDialog *dialog, int helpContext);

// The help text of a context; empty for an unknown one.
QString HelpText(int helpContext);
// Shows HelpText in an information box over `parent` and returns when the
// operator closes it.
void ShowHelpContext(QWidget *parent, int helpContext);
