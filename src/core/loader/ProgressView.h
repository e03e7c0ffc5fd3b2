// What the load sequence drives while it runs: the progress window in the
// desktop program, a terminal view in the command line, a recorder in tests.
#pragma once

#include <string>

class ProgressView {
public:
  // Destroying the view closes it.
  virtual ~ProgressView() = default;
  // Shows the view without making it modal.
  virtual void ShowView() = 0;
  virtual void SetCancelVisible(bool visible) = 0;
  virtual void SetLabel(const std::string &text) = 0;
  virtual void SetGaugeVisible(bool visible) = 0;
  // Percent, 0 ... 100.
  virtual void SetGaugeValue(int percent) = 0;
  // True once the operator has asked to cancel; never goes back to false.
  virtual bool IsCancelled() const = 0;
};
