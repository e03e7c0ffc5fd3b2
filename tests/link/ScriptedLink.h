// A link over the scripted port and clock, opened on COM1 at 19200 baud, for
// the exchange and statistics suites.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "FakeSerial.h"
#include "RecordingPresenter.h"
#include "link/Zor_RS232.h"

// The scripted port and clock with a link over them, on its own: a test that
// compares two conversations makes one for each.
struct LinkOverScriptedLine {
  LinkOverScriptedLine() {
    line->Clock = &clock;
    platform->Lines[1] = line;
    link = std::make_unique<TZor_RS>(nullptr, nullptr, platform, &clock);
    link->OpenPort(1);
    link->SetBaudRate(19200);
  }

  FakeClock clock;
  std::shared_ptr<FakeLine> line = std::make_shared<FakeLine>();
  std::shared_ptr<FakePlatform> platform = std::make_shared<FakePlatform>();
  std::unique_ptr<TZor_RS> link;
};

class ScriptedLink : public ::testing::Test, protected LinkOverScriptedLine {
protected:
  // What the link raised, or "" when it returned.
  std::string Failure(const std::function<void()> &action) {
    try {
      action();
    } catch (const std::exception &e) {
      return e.what();
    }
    return {};
  }

  RecordingPresenter presenter;
};
