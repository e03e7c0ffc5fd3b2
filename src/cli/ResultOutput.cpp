#include "cli/ResultOutput.h"

#include <cstring>

#include "cli/Console.h"

ResultOutput::ResultOutput(bool closedAtStart) : FClosedAtStart(closedAtStart) {
  setp(FBuffer.data(), FBuffer.data() + FBuffer.size());
}

ResultOutput::~ResultOutput() {
  WriteBuffered();
}

bool ResultOutput::WriteBuffered() {
  const size_t count = static_cast<size_t>(pptr() - pbase());
  setp(FBuffer.data(), FBuffer.data() + FBuffer.size());
  if (count == 0)
    return !FFailed;
  if (FClosedAtStart)
    FFailed = true;
  if (!FFailed && !WriteStandardOutput(FBuffer.data(), count, FError))
    FFailed = true;
  return !FFailed;
}

ResultOutput::int_type ResultOutput::overflow(int_type c) {
  if (!WriteBuffered())
    return traits_type::eof();
  if (!traits_type::eq_int_type(c, traits_type::eof()))
    sputc(traits_type::to_char_type(c));
  return traits_type::not_eof(c);
}

int ResultOutput::sync() {
  return WriteBuffered() ? 0 : -1;
}

std::string ResultOutput::Failure() {
  WriteBuffered();
  if (!FFailed)
    return {};
  if (FClosedAtStart)
    return "standard output is closed";
  return std::strerror(FError);
}
