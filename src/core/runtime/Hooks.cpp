#include "runtime/Hooks.h"

#include <utility>

namespace {
MessagePresenter *gPresenter = nullptr;
std::function<void()> gPump;
DialogHooks gDialogs;
} // namespace

MessagePresenter *SetMessagePresenter(MessagePresenter *presenter) {
  return std::exchange(gPresenter, presenter);
}

void ShowError(const std::string &text) {
  if (gPresenter)
    gPresenter->Error(text);
}

void ShowInfo(const std::string &text) {
  if (gPresenter)
    gPresenter->Info(text);
}

uint16_t AskYesNo(const std::string &text) {
  return gPresenter ? gPresenter->YesNo(text) : kNo;
}

void ProcessMessages() {
  if (gPump)
    gPump();
}

bool ProcessMessagesInstalled() {
  return static_cast<bool>(gPump);
}

std::function<void()> SetProcessMessagesHook(std::function<void()> hook) {
  return std::exchange(gPump, std::move(hook));
}

DialogHooks SetDialogHooks(DialogHooks hooks) {
  return std::exchange(gDialogs, std::move(hooks));
}

const DialogHooks &CurrentDialogHooks() {
  return gDialogs;
}
