// TZor_RS_Base: the serial-port layer of the link. Finds which of COM1 ... COM32
// can be opened, opens one by number with fixed queue sizes, time-outs and line
// settings, drives DTR and RTS, empties the driver's queues, and keeps the
// chosen port number in the settings file. Sends no frames itself.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "link/Zor_BI.h"
#include "link/serial/SerialPort.h"

inline constexpr uint32_t kDriverQueueBytes = 1048576;
inline constexpr uint32_t kMinBaudRate = 110;
inline constexpr uint32_t kMaxBaudRate = 921600;

extern const char *const SNoFreePort; // "Нет свободного COM-порта!"

// Which port call a PortFailed report is about.
enum class PortOperation : uint8_t {
  LineSettings, // reading or writing the line settings (rate, frame)
  Write,        // handing a request to the driver
  Read,         // reading the reply or the echo: the port is gone for good
};

// One line for a person, for --verbose: what failed and the system's reason,
// "write refused by the system, the device is gone: Input/output error (EIO)".
std::string PortFailureText(PortOperation operation, const PortError &error);

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

  // Told of a port call that failed, with the port's LastError: line settings
  // that the port refused, and in each attempt of an exchange the first write
  // or read that failed. Optional; must not throw. It only observes: what goes
  // on the wire stays as it is. Modem lines, queue sizes and purges are not
  // told: their results are ignored, and on a port that is gone they repeat
  // what the read says.
  std::function<void(PortOperation, const PortError &)> PortFailed;

  int32_t PortCount = 0;
  std::array<bool, kMaxPort + 1> PortFree{}; // indexed 1 ... 32
  std::unique_ptr<SerialPort> Handle;        // null: no port open
  int32_t PortNumber = 0;
  uint32_t BaudRate = 0;
  uint8_t ByteSize = 0;
  uint8_t Parity = 0;
  uint8_t StopBits = 0;

protected:
  // Tells PortFailed of the open port's last error, for `operation`.
  void ReportPortFailure(PortOperation operation);

private:
  // Reads the line settings, changes the one field, writes them back.
  template <typename Value> void ChangeLineSetting(Value LineSettings::*field, Value value) {
    LineSettings settings;
    if (!Handle)
      return;
    if (!Handle->GetState(settings)) {
      ReportPortFailure(PortOperation::LineSettings);
      return;
    }
    settings.*field = value;
    if (!Handle->SetState(settings))
      ReportPortFailure(PortOperation::LineSettings);
  }

  std::shared_ptr<SerialPlatform> FPlatform;
};
