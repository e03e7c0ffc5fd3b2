#include "link/AccessGate.h"

#include "runtime/Hooks.h"

bool AccessGranted = false;

namespace {
constexpr char kPassword[] = "KWT";
constexpr char SPasswordRequired[] = "Данная команда будет выполняться только после ввода пароля!";
constexpr char SWrongPassword[] = "Неверный пароль!";
} // namespace

bool AskPassword(const std::string &message, const std::string &password) {
  const auto &hook = CurrentDialogHooks().AskPassword;
  const std::string typed = hook ? hook(message).value_or(std::string()) : std::string();
  return typed == password;
}

bool CheckAccess() {
  if (AccessGranted)
    return true;
  if (AskPassword(SPasswordRequired, kPassword)) {
    AccessGranted = true;
    return true;
  }
  ShowError(SWrongPassword);
  return false;
}
