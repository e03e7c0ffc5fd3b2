#include "link/LinkStatistics.h"

#include <numeric>

std::string_view AttemptFailureName(AttemptFailure failure) {
  switch (failure) {
  case AttemptFailure::NoReply:
    return "no_reply";
  case AttemptFailure::TooShort:
    return "too_short";
  case AttemptFailure::Checksum:
    return "checksum";
  case AttemptFailure::WrongLength:
    return "wrong_length";
  case AttemptFailure::Busy:
    return "busy";
  case AttemptFailure::Gap:
    return "gap";
  case AttemptFailure::LateEcho:
    return "late_echo";
  case AttemptFailure::BadHeader:
    return "bad_header";
  case AttemptFailure::HungUp:
    return "hung_up";
  case AttemptFailure::IoError:
    return "io_error";
  case AttemptFailure::NoPermission:
    return "no_permission";
  case AttemptFailure::Other:
    break;
  }
  return "other";
}

uint64_t LinkStatistics::FailedAttemptsTotal() const {
  return std::accumulate(FailedAttempts.begin(), FailedAttempts.end(), uint64_t{0});
}

LinkStatistics LinkStatistics::Since(const LinkStatistics &earlier) const {
  LinkStatistics d;
  d.Exchanges = Exchanges - earlier.Exchanges;
  d.FailedExchanges = FailedExchanges - earlier.FailedExchanges;
  d.Attempts = Attempts - earlier.Attempts;
  for (size_t i = 0; i < kAttemptFailureKinds; ++i)
    d.FailedAttempts[i] = FailedAttempts[i] - earlier.FailedAttempts[i];
  d.BytesSent = BytesSent - earlier.BytesSent;
  d.BytesReceived = BytesReceived - earlier.BytesReceived;
  return d;
}
