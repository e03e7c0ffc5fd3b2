#include "win32/Win32Hooks.h"

#include "win32/Dialogs.h"
#include "win32/Forms.h"

#include <windows.h>

namespace {
int Box(const std::string &text, const wchar_t *title, UINT type) {
  return MessageBoxW(OwnerForBoxes(), Wide(text).c_str(), title, type);
}
} // namespace

void TWin32MessagePresenter::Error(const std::string &text) {
  Box(text, L"Error", MB_OK | MB_ICONERROR);
}

void TWin32MessagePresenter::Info(const std::string &text) {
  Box(text, L"Information", MB_OK | MB_ICONINFORMATION);
}

uint16_t TWin32MessagePresenter::YesNo(const std::string &text) {
  return static_cast<uint16_t>(Box(text, L"Confirm", MB_YESNO | MB_ICONQUESTION));
}

void PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(message.wParam));
      return;
    }
    DispatchForForms(message);
  }
}

TWin32Hooks::TWin32Hooks()
    : FPreviousPresenter(SetMessagePresenter(&FPresenter)),
      FPreviousPump(SetProcessMessagesHook(PumpMessages)),
      FPreviousDialogs(SetDialogHooks(DialogHooks{
          .ChoosePort = RunPortNumberDialog,
          .ChooseBaudRate = RunBaudRateDialog,
          .AskPassword = RunPasswordDialog,
      })) {}

TWin32Hooks::~TWin32Hooks() {
  SetDialogHooks(std::move(FPreviousDialogs));
  SetProcessMessagesHook(std::move(FPreviousPump));
  SetMessagePresenter(FPreviousPresenter);
}
