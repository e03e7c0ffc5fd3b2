// TProgressForm: the window a load runs under, with native controls. It
// shows the stage and the percentage (TGauge, drawn with GDI) and carries the
// operator's Cancel, which only sets Cancelled; the load sequence reads the
// flag and ends the run itself. No caption-bar buttons, on top of other
// windows, centred when shown; it goes away only when the run destroys it.
#pragma once

#include "win32/Forms.h"

#include "loader/ProgressView.h"

// Registers the gauge's window class "TGauge": a bar 0 ... 100 filled black
// from the left on white, in a single-line frame, with the value as "42%"
// centred and drawn inverted over the bar. Set with PBM_SETPOS.
void RegisterGaugeClass();

class TProgressForm final : public TForm, public ProgressView {
public:
  // Created hidden, owned by `owner` (the main window).
  explicit TProgressForm(HWND owner);
  ~TProgressForm() override;

  HWND ProgressGauge = nullptr;
  HWND ProgressLabel = nullptr;
  HWND BitBtn1 = nullptr;
  bool Cancelled = false;

  void FormCreate();
  void BitBtn1Click();

  // ProgressView
  void ShowView() override;
  void SetCancelVisible(bool visible) override;
  void SetLabel(const std::string &text) override;
  void SetGaugeVisible(bool visible) override;
  void SetGaugeValue(int percent) override;
  bool IsCancelled() const override { return Cancelled; }

private:
  bool OnInit() override;
  bool OnCommand(int id, int code, HWND control) override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR &result) override;
};
