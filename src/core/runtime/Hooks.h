// The seams between the core and whatever shows things to a person.
//
// The core never prints and never opens a window. It calls these free
// functions; the program installs what they do (Qt message boxes and dialogs
// in the desktop program, terminal output in the command line, recorders in
// tests). With nothing installed they do nothing visible and answer "no".
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Answers of AskYesNo, as the toolkit's modal result.
inline constexpr uint16_t kYes = 6;
inline constexpr uint16_t kNo = 7;

// What the message boxes show; each call returns when the box is closed.
class MessagePresenter {
public:
  virtual ~MessagePresenter() = default;
  virtual void Error(const std::string &text) = 0;
  virtual void Info(const std::string &text) = 0;
  // kYes for Yes; any other value for No or a box closed another way.
  virtual uint16_t YesNo(const std::string &text) = 0;
};

// Installs the presenter (not owned; nullptr restores the silent default).
// Returns the one it replaces.
MessagePresenter *SetMessagePresenter(MessagePresenter *presenter);

void ShowError(const std::string &text);
void ShowInfo(const std::string &text);
uint16_t AskYesNo(const std::string &text);

// Lets the user interface handle its pending messages. Called by the link while
// it waits for reply bytes and by the load sequence between polls.
void ProcessMessages();
// True when a pump is installed, that is when a user interface waits for its
// messages to be handled.
bool ProcessMessagesInstalled();
// Installs the pump; an empty function restores the default (nothing).
// Returns the one it replaces.
std::function<void()> SetProcessMessagesHook(std::function<void()> hook);

// The dialogs that core operations open.
struct PortChoice {
  std::vector<std::string> Entries;     // "COMn", in list order
  std::vector<std::string> DevicePaths; // what each entry names, same order
  int Selected = -1;                    // index in Entries, -1 for none
};
struct DialogHooks {
  // Shows the port-number dialog. Answers the index of the entry selected when
  // OK closed it (-1 when none was selected), or nothing for Cancel.
  std::function<std::optional<int>(const PortChoice &)> ChoosePort;
  // Shows the baud-rate dialog opened at `current`. Answers the field's integer
  // value when OK closed it, or nothing for Cancel.
  std::function<std::optional<int64_t>(uint32_t current)> ChooseBaudRate;
  // Shows the password dialog with `message`. Answers the typed text when OK
  // closed it, or nothing for Cancel.
  std::function<std::optional<std::string>(const std::string &message)> AskPassword;
};
// Installs the dialogs; returns the ones replaced. Unset hooks behave as Cancel.
DialogHooks SetDialogHooks(DialogHooks hooks);
const DialogHooks &CurrentDialogHooks();
