#include "cli/FrameTrace.h"

#include <iostream>

#include "cli/TerminalProgress.h"
#include "loader/LoadSequence.h"

namespace {
// The request the echo and the reply that follow belong to.
std::string gLastCommand = "?";
} // namespace

std::string HexBytes(const uint8_t *data, size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if (i)
      text.push_back(' ');
    text.push_back(kDigits[data[i] >> 4]);
    text.push_back(kDigits[data[i] & 15]);
  }
  return text;
}

std::string CommandCodeName(uint8_t command) {
  switch (command) {
  case 0:
    return "QueryAddress";
  case kCommandIdentify:
    return "Identify";
  case kCommandFinish:
    return "Finish";
  case kCommandWriteBlock:
    return "WriteBlock";
  case kCommandWritePage:
    return "WritePage";
  default:
    return "command " + std::to_string(command);
  }
}

std::string CommandName(const uint8_t *frame, size_t count) {
  if (count < 5)
    return "?";
  const uint8_t command = frame[4];
  // Command 0 asks for the address only of address 0.
  if (command == 0 && frame[1] != 0)
    return "command 0";
  if (command == kCommandWriteBlock && count > 5)
    return "WriteBlock " + std::to_string(frame[5]);
  return CommandCodeName(command);
}

void TraceFrame(FrameDirection direction, const uint8_t *data, size_t count) {
  const char *arrow = "->";
  std::string name;
  switch (direction) {
  case FrameDirection::Sent:
    gLastCommand = CommandName(data, count);
    name = gLastCommand;
    break;
  case FrameDirection::Echo:
    arrow = "<~";
    name = "echo of " + gLastCommand;
    break;
  case FrameDirection::Received:
    arrow = "<-";
    name = "reply to " + gLastCommand;
    break;
  }
  EndBarLine();
  std::cerr << arrow << " " << name << ": " << HexBytes(data, count) << std::endl;
}
