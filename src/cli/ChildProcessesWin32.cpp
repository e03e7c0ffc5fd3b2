#include "cli/ChildProcesses.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

namespace {
constexpr DWORD kReadChunk = 4096;
constexpr size_t kLongestLine = 65536;

std::wstring Wide(const std::string &text) {
  if (text.empty())
    return {};
  const int count =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(count), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), count);
  return wide;
}

// One argument as the C runtime of the child splits its command line again.
std::wstring Quoted(const std::wstring &argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
    return argument;
  std::wstring quoted = L"\"";
  for (size_t i = 0;; ++i) {
    size_t backslashes = 0;
    while (i < argument.size() && argument[i] == L'\\') {
      ++i;
      ++backslashes;
    }
    if (i == argument.size()) {
      quoted.append(backslashes * 2, L'\\');
      break;
    }
    if (argument[i] == L'"')
      quoted.append(backslashes * 2 + 1, L'\\');
    else
      quoted.append(backslashes, L'\\');
    quoted.push_back(argument[i]);
  }
  quoted.push_back(L'"');
  return quoted;
}

std::string SystemMessage(DWORD error) {
  char *text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                     FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, error, 0, reinterpret_cast<char *>(&text), 0, nullptr);
  std::string message = text ? text : "error " + std::to_string(error);
  LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
    message.pop_back();
  return message;
}

// What the reading threads hand over.
struct Chunk {
  size_t Child;
  int Stream;
  std::string Bytes; // empty: the stream ended
};

struct Child {
  HANDLE Process = nullptr;
  HANDLE Input = nullptr; // the write end of its standard input
  DWORD Id = 0;
  std::thread Readers[2];
  bool Open[2] = {true, true};
  std::string Partial[2];
  bool Reported = false;
  bool KilledByUs = false;
};
} // namespace

struct ChildProcesses::Impl {
  // Every child is in this job, which ends them all when its last handle,
  // ours, closes: none outlives this program, however it ends.
  HANDLE Job = nullptr;
  std::mutex Lock;
  std::condition_variable Arrived;
  std::deque<Chunk> Chunks;
  std::deque<Child> Children;

  void Read(size_t child, int stream, HANDLE pipe) {
    char buffer[kReadChunk];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      std::lock_guard<std::mutex> hold(Lock);
      Chunks.push_back({child, stream, std::string(buffer, got)});
      Arrived.notify_one();
    }
    CloseHandle(pipe);
    std::lock_guard<std::mutex> hold(Lock);
    Chunks.push_back({child, stream, {}});
    Arrived.notify_one();
  }

  void Split(size_t index, int stream, std::vector<Line> &lines, bool ended) {
    std::string &partial = Children[index].Partial[stream];
    size_t start = 0;
    for (size_t end; (end = partial.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string text = partial.substr(start, end - start);
      if (!text.empty() && text.back() == '\r')
        text.pop_back();
      lines.push_back({index, stream == 1, std::move(text)});
    }
    partial.erase(0, start);
    if ((ended && !partial.empty()) || partial.size() >= kLongestLine)
      lines.push_back({index, stream == 1, std::exchange(partial, {})});
  }
};

ChildProcesses::ChildProcesses() : FImpl(std::make_unique<Impl>()) {
  FImpl->Job = CreateJobObjectW(nullptr, nullptr);
  if (FImpl->Job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(FImpl->Job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }
}

ChildProcesses::~ChildProcesses() {
  for (Child &child : FImpl->Children) {
    if (!child.Reported)
      TerminateProcess(child.Process, 1);
    for (std::thread &reader : child.Readers)
      if (reader.joinable())
        reader.join();
    WaitForSingleObject(child.Process, INFINITE);
    CloseHandle(child.Process);
    if (child.Input)
      CloseHandle(child.Input);
  }
  if (FImpl->Job)
    CloseHandle(FImpl->Job);
}

size_t ChildProcesses::Start(const std::vector<std::string> &arguments) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnds[2] = {nullptr, nullptr}, writeEnds[2] = {nullptr, nullptr};
  auto closeAll = [&] {
    for (HANDLE h : {readEnds[0], readEnds[1], writeEnds[0], writeEnds[1]})
      if (h)
        CloseHandle(h);
  };
  for (int stream = 0; stream < 2; ++stream) {
    if (!CreatePipe(&readEnds[stream], &writeEnds[stream], &inherit, 0)) {
      const DWORD error = GetLastError();
      closeAll();
      throw std::runtime_error("cannot make a pipe: " + SystemMessage(error));
    }
    SetHandleInformation(readEnds[stream], HANDLE_FLAG_INHERIT, 0);
  }
  HANDLE inputRead = nullptr, inputWrite = nullptr;
  if (!CreatePipe(&inputRead, &inputWrite, &inherit, 0)) {
    const DWORD error = GetLastError();
    closeAll();
    throw std::runtime_error("cannot make a pipe: " + SystemMessage(error));
  }
  SetHandleInformation(inputWrite, HANDLE_FLAG_INHERIT, 0);

  std::wstring commandLine;
  for (const std::string &argument : arguments) {
    if (!commandLine.empty())
      commandLine.push_back(L' ');
    commandLine += Quoted(Wide(argument));
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inputRead;
  startup.hStdOutput = writeEnds[0];
  startup.hStdError = writeEnds[1];
  PROCESS_INFORMATION started{};
  // A group of its own, so that Ctrl-Break sent to it reaches it alone;
  // suspended until it is in the job.
  const BOOL ok = CreateProcessW(Wide(arguments[0]).c_str(), commandLine.data(), nullptr, nullptr,
                                 TRUE, CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, nullptr,
                                 nullptr, &startup, &started);
  const DWORD error = GetLastError();
  CloseHandle(inputRead);
  CloseHandle(writeEnds[0]);
  CloseHandle(writeEnds[1]);
  writeEnds[0] = writeEnds[1] = nullptr;
  if (!ok) {
    closeAll();
    CloseHandle(inputWrite);
    throw std::runtime_error("cannot start " + arguments[0] + ": " + SystemMessage(error));
  }
  if (FImpl->Job)
    AssignProcessToJobObject(FImpl->Job, started.hProcess);
  ResumeThread(started.hThread);
  CloseHandle(started.hThread);
  const size_t index = FImpl->Children.size();
  Child &child = FImpl->Children.emplace_back();
  child.Process = started.hProcess;
  child.Input = inputWrite;
  child.Id = started.dwProcessId;
  for (int stream = 0; stream < 2; ++stream)
    child.Readers[stream] = std::thread(
        [this, index, stream, pipe = readEnds[stream]] { FImpl->Read(index, stream, pipe); });
  return index;
}

void ChildProcesses::Wait(int milliseconds, std::vector<Line> &lines, std::vector<Ended> &ended) {
  std::deque<Chunk> taken;
  {
    std::unique_lock<std::mutex> hold(FImpl->Lock);
    FImpl->Arrived.wait_for(hold, std::chrono::milliseconds(milliseconds),
                            [this] { return !FImpl->Chunks.empty(); });
    taken.swap(FImpl->Chunks);
  }
  for (Chunk &chunk : taken) {
    Child &child = FImpl->Children[chunk.Child];
    if (chunk.Bytes.empty()) {
      child.Open[chunk.Stream] = false;
      FImpl->Split(chunk.Child, chunk.Stream, lines, true);
    } else {
      child.Partial[chunk.Stream] += chunk.Bytes;
      FImpl->Split(chunk.Child, chunk.Stream, lines, false);
    }
  }
  for (size_t i = 0; i < FImpl->Children.size(); ++i) {
    Child &child = FImpl->Children[i];
    if (child.Reported || child.Open[0] || child.Open[1] ||
        WaitForSingleObject(child.Process, 0) != WAIT_OBJECT_0)
      continue;
    child.Reported = true;
    for (std::thread &reader : child.Readers)
      reader.join();
    DWORD code = 1;
    GetExitCodeProcess(child.Process, &code);
    Ended end;
    end.Child = i;
    end.KilledByUs = child.KilledByUs;
    if (child.KilledByUs)
      end.Killed = "termination";
    else
      end.ExitCode = static_cast<int>(code);
    ended.push_back(end);
  }
}

size_t ChildProcesses::Running() const {
  size_t running = 0;
  for (const Child &child : FImpl->Children)
    running += child.Reported ? 0 : 1;
  return running;
}

void ChildProcesses::Interrupt(size_t child) {
  // Ctrl-Break reaches a process group only on the console we share; with
  // none, stopping at once is the only way to stop.
  if (!FImpl->Children[child].Reported &&
      !GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, FImpl->Children[child].Id))
    Kill(child);
}

void ChildProcesses::CloseInput(size_t child) {
  Child &target = FImpl->Children[child];
  if (target.Input) {
    CloseHandle(target.Input);
    target.Input = nullptr;
  }
}

void ChildProcesses::Kill(size_t child) {
  Child &target = FImpl->Children[child];
  if (!target.Reported) {
    target.KilledByUs = true;
    TerminateProcess(target.Process, 1);
  }
}
