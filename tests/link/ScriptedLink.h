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
    Line->Clock = &Clock;
    Platform->Lines[1] = Line;
    Link = std::make_unique<TZor_RS>(nullptr, nullptr, Platform, &Clock);
    Link->OpenPort(1);
    Link->SetBaudRate(19200);
  }

  FakeClock Clock;
  std::shared_ptr<FakeLine> Line = std::make_shared<FakeLine>();
  std::shared_ptr<FakePlatform> Platform = std::make_shared<FakePlatform>();
  std::unique_ptr<TZor_RS> Link;
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

  RecordingPresenter FPresenter;
};
