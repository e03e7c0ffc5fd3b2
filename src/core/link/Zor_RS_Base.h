// TZor_RS_Base: the serial-port layer of the link. Finds which of COM1 ... COM32
// can be opened, opens one by number with fixed queue sizes, time-outs and line
// settings, drives DTR and RTS, empties the driver's queues, and keeps the
// chosen port number in the settings file. Sends no frames itself.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "link/Zor_BI.h"
#include "link/serial/SerialPort.h"

inline constexpr int kMaxPort = 32;
inline constexpr uint32_t kDriverQueueBytes = 1048576;
inline constexpr uint32_t kMinBaudRate = 110;
inline constexpr uint32_t kMaxBaudRate = 921600;

extern const char *const SNoFreePort; // "Нет свободного COM-порта!"

class TZor_RS_Base : public TZorBaseInterface {
public:
  // Scans the ports and sets the defaults; opens none. Shows "no free port"
  // when none is found. `platform` null means the platform of this build.
  TZor_RS_Base(TMenuItem *primaryMenu, TMenuItem *secondaryMenu,
               std::shared_ptr<SerialPlatform> platform = nullptr);
  ~TZor_RS_Base() override;

  // Closes an open port (it stays closed), probes COM1 ... COM32 and rewrites
  // the port table. Answers PortCount.
  uint8_t ScanPorts();
  // The lowest free port number, or 0.
  int32_t FirstFreePort() const;
  // Opens COMn, or the first free port when the last scan did not find COMn
  // free; n <= 0 does nothing.
  void OpenPort(int32_t n);
  void SetActive(bool open);

  // Store the value, then apply it to the open port (when one is).
  void SetBaudRate(uint32_t rate); // keeps the rate the driver reports afterwards
  void SetByteSize(uint8_t dataBits);
  void SetParity(uint8_t parity);
  void SetStopBits(uint8_t stopBits);

  void SetDTR();
  void SetRTS();
  void ClearRTS();

  void LoadSettings(TMIniFile &settings) override;
  void SaveSettings(TMIniFile &settings) override;

  // The operator chooses the port (the list of free ports) or the rate,
  // behind the access gate. The sender is ignored.
  virtual void ChoosePort(void *sender = nullptr);
  virtual void ChooseBaudRate(void *sender = nullptr);
  virtual void ClosePort();
  virtual void PurgeInput();
  virtual void PurgeOutput();

  // The device path that COMn names, for showing beside "COMn".
  std::string DevicePathOf(int n) const;
  bool IsOpen() const { return Handle != nullptr; }

  int32_t PortCount = 0;
  std::array<bool, kMaxPort + 1> PortFree{}; // indexed 1 ... 32
  std::unique_ptr<SerialPort> Handle;        // null: no port open
  int32_t PortNumber = 0;
  uint32_t BaudRate = 0;
  uint8_t ByteSize = 0;
  uint8_t Parity = 0;
  uint8_t StopBits = 0;

private:
  // Reads the line settings, changes the one field, writes them back.
  template <typename Value> void ChangeLineSetting(Value LineSettings::*field, Value value) {
    LineSettings settings;
    if (!Handle || !Handle->GetState(settings))
      return;
    settings.*field = value;
    Handle->SetState(settings);
  }

  std::shared_ptr<SerialPlatform> Platform;
};
