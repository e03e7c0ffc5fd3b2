// TZor_RS: the link to the bootloader. Every command is one request frame
// answered by one reply frame:
//   request: length N, address, 01 00, command, parameters..., checksum
//   reply:   length L (6 ... 255), address, two header bytes, status, data..., checksum
// and the bytes of every frame sum to 0 modulo 256. Execute repeats the whole
// exchange up to three times and reports every failure as an Exception whose
// text is one of the S... messages below.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "link/Clock.h"
#include "link/LinkStatistics.h"
#include "link/Zor_RS_Base.h"

extern const char *const SNoLink;         // no first byte, or a length below 6
extern const char *const SInterByteDelay; // a later byte did not come in time
extern const char *const SExchangeError;  // followed by "(0)" or "(4)"
extern const char *const SDeviceBusy;     // reply status 0xFF
extern const char *const SOnlyOneDevice;  // QueryAddress confirmation
extern const char *const SRS232Caption;   // "RS232"
extern const char *const SPortNumberMenu; // "Номер СОМ-порта"

inline constexpr uint8_t kStatusBusy = 0xFF;
inline constexpr int kReplyDataIndex = 5;
inline constexpr int kMinReplyLength = 6;
inline constexpr int kAttempts = 3;
inline constexpr uint32_t kPauseBeforeFirstAttemptMs = 20;
inline constexpr uint32_t kPauseAfterFailedAttemptMs = 50;
inline constexpr uint16_t kDefaultReplyTimeoutMs = 1000;
inline constexpr uint16_t kDefaultInterByteTimeoutMs = 200;
// The help context of the menu command "Номер СОМ-порта"; the port-number
// dialog it opens has its own.
inline constexpr int kPortNumberMenuHelpContext = 10000;

// Which way a traced frame went.
enum class FrameDirection { Sent, Echo, Received };

class TZor_RS : public TZor_RS_Base {
public:
  // `platform` null: the serial ports of this build; `clock` null: the system clock.
  TZor_RS(TMenuItem *primaryMenu = nullptr, TMenuItem *secondaryMenu = nullptr,
          std::shared_ptr<SerialPlatform> platform = nullptr, LinkClock *clock = nullptr);

  // 0, 1 or 2; any other value gives 0.
  void SetLineMode(uint8_t mode);

  void PutOctet(uint8_t value) override;
  uint8_t GetOctet() override;
  // Reply bytes up to a zero byte, which is consumed.
  std::string GetString() override;
  void BeginCommand(uint8_t address, uint8_t command) override;
  // Completes the frame and runs the exchange, with up to three attempts. On
  // return the reply is in InBuffer and ReadIndex is 5.
  void Execute() override;
  void SendCommand(uint8_t address, uint8_t command) override;
  // The device's address, or -1 when the operator declines the confirmation.
  int QueryAddress() override;

  // Receives one reply frame into InBuffer and checks its byte sum. The echo
  // bytes that came too late for the echo's wait are skipped first.
  virtual void Receive();
  // Sends the request in OutBuffer. In line mode 2 it takes up the echo
  // meanwhile (RTS and the priority raised) and notes how many of the echo's
  // bytes were still due when that wait ended. A write the port refuses
  // raises nothing here: it is told to PortFailed instead of traced as sent,
  // and the attempt goes on to the reply's wait as before.
  virtual void Transmit();
  // One exchange: Transmit, Receive, the header and status checks.
  virtual void Transact();

  // The extra first-byte wait for a request of `writeIndex` + 1 bytes at
  // `baudRate`: round(9600 * writeIndex / baudRate), a half to even.
  static uint32_t TransmissionAllowanceMs(int32_t writeIndex, uint32_t baudRate);

  // Sees every frame sent (handed to the driver whole) and received, for a
  // verbose trace. Optional.
  std::function<void(FrameDirection, const uint8_t *, size_t)> FrameTrace;
  // Told of every failed attempt of Execute: the request's command byte, why
  // it failed, and which attempt it was (1 ... 3; after the third the
  // failure goes to the caller). Optional; must not throw.
  std::function<void(uint8_t command, AttemptFailure failure, int attempt)> AttemptFailed;

  // Counted since construction; a caller takes a copy to count a span
  // (LinkStatistics::Since).
  LinkStatistics Statistics;

  uint8_t LineMode = 0;
  uint16_t InterByteTimeout = kDefaultInterByteTimeoutMs;
  uint16_t ReplyTimeout = kDefaultReplyTimeoutMs;

private:
  // Reads one reply byte into InBuffer[index] before `deadline` passes, letting
  // the UI run between reads; false when none came in time.
  bool ReadByteBefore(int index, uint64_t deadline, bool pumpFirst);
  void Trace(FrameDirection direction, const uint8_t *data, size_t count);
  // Reads and drops the echo bytes still due, each before `deadline`; throws
  // the no-link failure when they do not all come.
  void SkipLateEcho(uint64_t deadline);
  // Whether `count` bytes are those of the request we sent, from its byte `from`.
  bool IsPartOfRequest(const uint8_t *bytes, int count, int from) const;
  // Whether the frame received is the request we sent, byte for byte.
  bool IsOurRequest() const;
  // Lets the user interface handle its messages unless it did so moments ago.
  void PumpIfDue();
  // How long until the user interface is due again (at least 1 ms).
  uint64_t MsUntilPump();
  // A pause of the link; with a user interface, it handles its messages
  // throughout.
  void Pause(uint32_t milliseconds);
  // How long one byte of our own framing is on the line, in half bits.
  int64_t HalfBitsPerByte() const;
  // How much longer the echo of the request just sent needs on the line.
  std::chrono::microseconds EchoTimeLeft() const;
  // Notes why the attempt under way fails, then raises `text`.
  [[noreturn]] void Fail(AttemptFailure failure, const std::string &text);
  // Why the attempt that just failed did, for the statistics.
  AttemptFailure FailureOfAttempt() const;
  // Tells PortFailed of the port call that just failed, unless the attempt
  // under way has told one already.
  void NotePortFailure(PortOperation operation);

  LinkClock &FClock;
  bool FReceivingEcho = false;
  // Bytes the last Receive took in, complete frame or not.
  int FReceivedBytes = 0;
  // Bytes of the request's echo that had not come when its wait ended: they
  // come before the reply and are skipped by the next Receive.
  int FEchoBytesDue = 0;
  // What came first after the request was not our request (bytes of the
  // device's that came late, or a garbled echo): where our echo ends is then
  // not known, so a reply equal to the request may be the echo itself.
  bool FEchoNotOurs = false;
  std::chrono::steady_clock::time_point FWriteStart{}; // of the last request
  uint64_t FLastPump = 0;                              // tick count of the last pump
  // The last failure noted in the attempt under way, and whether its echo
  // was not as long as the request (which then explains what followed).
  std::optional<AttemptFailure> FFailure;
  bool FEchoWrongLength = false;
  // The attempt under way has told PortFailed of a port call that failed.
  bool FPortFailureNoted = false;
};
