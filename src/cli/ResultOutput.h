// Where korvalen-cli's results go: standard output, through a stream buffer
// that remembers the first write that failed (a full disk, a closed stream, a
// reader that went away), so that results which did not get out end the
// program with a failure instead of a silent success.
#pragma once

#include <array>
#include <streambuf>
#include <string>

class ResultOutput : public std::streambuf {
public:
  // `closedAtStart`: standard output was closed when the program started (it
  // now leads nowhere): every result is then a write that failed.
  explicit ResultOutput(bool closedAtStart);
  ~ResultOutput() override;
  ResultOutput(const ResultOutput &) = delete;
  ResultOutput &operator=(const ResultOutput &) = delete;

  // Writes out what is buffered. Empty when every result got out, else why
  // the first one did not.
  std::string Failure();

protected:
  int_type overflow(int_type c) override;
  int sync() override;

private:
  bool WriteBuffered();

  std::array<char, 4096> FBuffer{};
  bool FClosedAtStart;
  bool FFailed = false;
  int FError = 0;
};
