// The desktop program's side of the core's seams on Windows: MessageBoxW
// boxes owned by the program's active window (so an outcome box stands above
// the progress window), a PeekMessage pump, and the link's dialogs.
#pragma once

#include "runtime/Hooks.h"

#include <cstdint>
#include <functional>
#include <string>

// Error: error icon, title "Error", OK. Info: information icon,
// "Information", OK. YesNo: question icon, "Confirm", Yes and No; IDYES (6)
// and IDNO (7) are the toolkit's modal results.
class TWin32MessagePresenter : public MessagePresenter {
public:
  void Error(const std::string &text) override;
  void Info(const std::string &text) override;
  uint16_t YesNo(const std::string &text) override;
};

// Handles every pending message of the thread and returns. A quit request
// met on the way is posted again for the program's own loop.
void PumpMessages();

// Installs the presenter, the pump and the dialogs for its lifetime.
class TWin32Hooks {
public:
  TWin32Hooks();
  ~TWin32Hooks();
  TWin32Hooks(const TWin32Hooks &) = delete;
  TWin32Hooks &operator=(const TWin32Hooks &) = delete;

private:
  TWin32MessagePresenter FPresenter;
  MessagePresenter *FPreviousPresenter;
  std::function<void()> FPreviousPump;
  DialogHooks FPreviousDialogs;
};
