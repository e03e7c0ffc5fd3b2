// The desktop program's side of the core's seams (app/Hooks.h): Qt message
// boxes, the Qt event pump, and the link's dialogs.
#pragma once

#include "runtime/Hooks.h"

#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class QWidget;

// The window that owns a message box: the active modal dialog, else the
// window kept on top (the progress window during a load), else the active
// window, else any visible window of the program; null when none is shown.
QWidget *MessageBoxOwner();

// The standard message boxes: modal, owned by MessageBoxOwner so that they
// stand above it, centred on the screen, the text shown as given (plain
// text). Error: error icon, title "Error", OK. Info: information icon,
// "Information", OK. YesNo: question icon, "Confirm", "&Yes"/"&No"; answers
// kYes, kNo, or kCancelResult when closed another way.

class TQtMessagePresenter : public MessagePresenter {
public:
  static constexpr uint16_t kCancelResult = 2;

  void Error(const std::string &text) override;
  void Info(const std::string &text) override;
  uint16_t YesNo(const std::string &text) override;
};

// The dialog hooks, each running its dialog modally and destroying it before
// returning.
// The port-number dialog with the choice's entries, paths and selection;
// answers the selected index (-1 for none) on OK, nothing otherwise.
std::optional<int> RunPortNumberDialog(const PortChoice &choice);
// The baud-rate dialog opened at `current` (shown brought into 110 ... 921600);
// answers the field's value on OK, brought into that range (Enter in the field
// closes the dialog without the focus-out that would have done so), nothing
// otherwise.
std::optional<int64_t> RunBaudRateDialog(uint32_t current);

// Installs the presenter, the event pump (QCoreApplication::processEvents) and
// the three dialog hooks for its lifetime; restores what was installed before
// when destroyed. Create it after the QApplication, on the GUI thread.
class TQtHooks {
public:
  TQtHooks();
  ~TQtHooks();
  TQtHooks(const TQtHooks &) = delete;
  TQtHooks &operator=(const TQtHooks &) = delete;

private:
  TQtMessagePresenter FPresenter;
  MessagePresenter *FPreviousPresenter;
  std::function<void()> FPreviousPump;
  DialogHooks FPreviousDialogs;
};

// The same for the whole program: installs once (a second call does nothing)
// until UninstallQtHooks.
void InstallQtHooks();
void UninstallQtHooks();

// The application's error box for a failure that escaped a handler: caption
// `title` (the application's title), error icon, OK, owned as the message
// boxes are; the text as ApplicationErrorText gives it.
void ShowApplicationError(const QString &title, const std::string &text);
