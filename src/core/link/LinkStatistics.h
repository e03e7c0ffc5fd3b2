// What the link counts while it works: exchanges, attempts, why attempts
// failed, and the bytes that crossed the line. With them a person tells a
// noisy cable (damaged checksums, gaps) from a busy device or a dead one.
// Counting only observes: it never changes what goes on the wire.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// Why one attempt of an exchange failed: the first thing that went wrong in it.
enum class AttemptFailure : uint8_t {
  NoReply,      // no first reply byte before the first-byte deadline
  TooShort,     // a reply whose length byte is below the shortest frame (6)
  Checksum,     // the reply's bytes do not sum to 0 modulo 256
  WrongLength,  // line mode 2: what came back as the echo is not as long as the request
  Busy,         // reply status 0xFF
  Gap,          // a byte after the first did not come within the inter-byte wait
  LateEcho,     // line mode 2: the rest of a late echo did not come before the reply's deadline,
                // or our request came where the reply should be, after bytes not ours
  BadHeader,    // reply bytes 1, 2 and 3 all zero
  HungUp,       // the port's other side is gone
  IoError,      // the port failed for good with an I/O error, its device still there
  NoPermission, // the system no longer permits the port's reads or writes
  Other,        // anything else an attempt raised
};
inline constexpr size_t kAttemptFailureKinds = static_cast<size_t>(AttemptFailure::Other) + 1;

// A short stable name for each reason, for machine-readable output:
// "no_reply", "too_short", "checksum", "wrong_length", "busy", "gap",
// "late_echo", "bad_header", "hung_up", "io_error", "no_permission", "other".
std::string_view AttemptFailureName(AttemptFailure failure);

struct LinkStatistics {
  uint64_t Exchanges = 0;       // Execute calls that sent their frame at least once
  uint64_t FailedExchanges = 0; // of them, those whose every attempt failed
  uint64_t Attempts = 0;        // frames sent by Execute, retries included
  std::array<uint64_t, kAttemptFailureKinds> FailedAttempts{}; // by AttemptFailure
  uint64_t BytesSent = 0;
  uint64_t BytesReceived = 0; // every byte read, the echo of our own requests included

  uint64_t Failed(AttemptFailure failure) const {
    return FailedAttempts[static_cast<size_t>(failure)];
  }
  uint64_t FailedAttemptsTotal() const;
  // Attempts beyond each exchange's first.
  uint64_t Retries() const { return Attempts - Exchanges; }
  // What was counted since `earlier`, a copy taken from the same link.
  LinkStatistics Since(const LinkStatistics &earlier) const;
  bool operator==(const LinkStatistics &) const = default;
};
