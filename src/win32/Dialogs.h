// The link's dialogs with native controls: the port-number dialog, the
// baud-rate dialog with its spin edit, and the password dialog. Each is
// created for one question, shown modally over the program's active window
// and destroyed before the question returns.
#pragma once

#include "runtime/Hooks.h"

#include <cstdint>
#include <optional>
#include <string>

inline constexpr int kPortNumberHelpContext = 10001;
inline constexpr int kBaudRateHelpContext = 10305;

// The port-number dialog: the entries of `choice` with its selection; the
// selected index (-1 for none) on OK, nothing for Cancel, Escape or the close
// box.
std::optional<int> RunPortNumberDialog(const PortChoice &choice);
// The baud-rate dialog opened at `current` (shown brought into 110 ...
// 921600); the field's value on OK, brought into that range; nothing
// otherwise.
std::optional<int64_t> RunBaudRateDialog(uint32_t current);
// The password dialog with `message`; the typed text on OK, nothing
// otherwise.
std::optional<std::string> RunPasswordDialog(const std::string &message);

// The spin edit's reading of a text: an optional sign and digits, else the
// minimum; then brought into 110 ... 921600.
int64_t BaudRateFromText(const std::wstring &text);
