// The password gate in front of the port and baud-rate dialogs. Once the right
// password has been given (or the main window opened the gate at start), it
// stays open until the program ends.
#pragma once

#include <string>

// False at start; true once the gate is open.
extern bool AccessGranted;

// True when the guarded command may proceed; asks for the password when the
// gate is still closed, and shows "Неверный пароль!" on a refusal.
bool CheckAccess();

// Shows the password dialog with `message` and answers whether the typed text
// equals `password` exactly, letter case included. Cancel counts as an empty
// text.
bool AskPassword(const std::string &message, const std::string &password);
