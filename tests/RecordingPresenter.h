// Records what the core shows to a person, and answers its questions, for the
// duration of one test.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "runtime/Hooks.h"

class RecordingPresenter : public MessagePresenter {
public:
  RecordingPresenter() { FPrevious = SetMessagePresenter(this); }
  ~RecordingPresenter() override { SetMessagePresenter(FPrevious); }
  RecordingPresenter(const RecordingPresenter &) = delete;
  RecordingPresenter &operator=(const RecordingPresenter &) = delete;

  void Error(const std::string &text) override {
    Errors.push_back(text);
    if (OnShow)
      OnShow();
  }
  void Info(const std::string &text) override {
    Infos.push_back(text);
    if (OnShow)
      OnShow();
  }
  uint16_t YesNo(const std::string &text) override {
    Questions.push_back(text);
    if (Answers.empty())
      return kNo;
    const uint16_t answer = Answers.front();
    Answers.pop_front();
    return answer;
  }

  std::vector<std::string> Errors, Infos, Questions;
  std::deque<uint16_t> Answers;
  std::function<void()> OnShow; // runs while a box would be on screen

private:
  MessagePresenter *FPrevious = nullptr;
};

// Installs dialog hooks for one test and puts the previous ones back after.
class ScopedDialogHooks {
public:
  explicit ScopedDialogHooks(DialogHooks hooks) : FPrevious(SetDialogHooks(std::move(hooks))) {}
  ~ScopedDialogHooks() { SetDialogHooks(std::move(FPrevious)); }
  ScopedDialogHooks(const ScopedDialogHooks &) = delete;
  ScopedDialogHooks &operator=(const ScopedDialogHooks &) = delete;

private:
  DialogHooks FPrevious;
};

// Installs a UI-pump hook (ProcessMessages) for one scope and puts the
// previous one back after, however the scope is left.
class ScopedProcessMessages {
public:
  explicit ScopedProcessMessages(std::function<void()> hook)
      : FPrevious(SetProcessMessagesHook(std::move(hook))) {}
  ~ScopedProcessMessages() { SetProcessMessagesHook(std::move(FPrevious)); }
  ScopedProcessMessages(const ScopedProcessMessages &) = delete;
  ScopedProcessMessages &operator=(const ScopedProcessMessages &) = delete;

private:
  std::function<void()> FPrevious;
};
