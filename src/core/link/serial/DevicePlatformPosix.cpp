#include "link/serial/PosixSerialPort.h"

std::shared_ptr<SerialPlatform> SerialPlatformForDevice(const std::string &devicePath,
                                                        ConsoleAccess consoles) {
  return std::make_shared<PosixSerialPlatform>(PortTable::Single(devicePath), consoles);
}
