#include "sim/HostSide.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <numeric>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace std::chrono_literals;

Bytes Frame(uint8_t address, uint8_t command, const Bytes &payload) {
  Bytes frame(6 + payload.size());
  frame[0] = static_cast<uint8_t>(frame.size());
  frame[1] = address;
  frame[2] = 0x01;
  frame[4] = command;
  std::copy(payload.begin(), payload.end(), frame.begin() + 5);
  frame.back() = static_cast<uint8_t>(0x100 - Sum(frame));
  return frame;
}

uint8_t Sum(const Bytes &bytes) {
  return static_cast<uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0u));
}

Bytes Block(uint8_t index, uint8_t fill) {
  Bytes payload(129, fill);
  payload[0] = index;
  for (size_t i = 1; i < payload.size(); ++i) {
    payload[i] = static_cast<uint8_t>(fill + index * 7 + i); // every byte placed
  }
  return Frame(0xFB, 10, payload);
}

Bytes WritePage(uint32_t address) {
  return Frame(0xFB, 20,
               {static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
                static_cast<uint8_t>(address >> 16)});
}

Bytes PageContent(uint8_t fill) {
  Bytes page;
  for (uint8_t i = 0; i < 12; ++i) {
    Bytes block = Block(i, fill);
    page.insert(page.end(), block.begin() + 6, block.end() - 1);
  }
  return page;
}

Bytes ReadFile(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

HostSide::HostSide(const std::string &path, bool echo) : FEcho(echo) {
  FFd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GE(FFd, 0) << path << ": " << std::strerror(errno);
}

HostSide::~HostSide() {
  Close();
}

void HostSide::Close() {
  if (FFd >= 0) {
    ::close(FFd);
    FFd = -1;
  }
}

void HostSide::Send(const Bytes &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(FFd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EAGAIN) {
      pollfd p{FFd, POLLOUT, 0};
      ::poll(&p, 1, 100);
      continue;
    }
    if (n < 0 && errno == EIO) {
      FHungUp = true; // the device has closed the line
      return;
    }
    ASSERT_GT(n, 0) << std::strerror(errno);
    done += static_cast<size_t>(n);
  }
}

Bytes HostSide::Read(size_t count, std::chrono::milliseconds timeout) {
  Bytes got;
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (got.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      break;
    }
    pollfd p{FFd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      continue;
    }
    uint8_t buffer[512];
    ssize_t n = ::read(FFd, buffer, std::min(sizeof buffer, count - got.size()));
    if (n <= 0) {
      if (n < 0 && errno == EAGAIN) {
        continue;
      }
      FHungUp = true;
      break;
    }
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

Bytes HostSide::ReadFor(std::chrono::milliseconds wait) {
  return Read(SIZE_MAX, wait);
}

Bytes HostSide::Ask(const Bytes &request, size_t replyLength, std::chrono::milliseconds timeout) {
  Send(request);
  const size_t echoed = FEcho ? request.size() : 0;
  Bytes got = Read(echoed + replyLength, timeout);
  if (got.size() < echoed) {
    return {};
  }
  if (FEcho) {
    EXPECT_EQ(Bytes(got.begin(), got.begin() + static_cast<long>(echoed)), request) << "the echo";
  }
  return Bytes(got.begin() + static_cast<long>(echoed), got.end());
}

bool HostSide::SeesHangup(std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{FFd, POLLIN, 0};
    ::poll(&p, 1, 100);
    uint8_t b;
    ssize_t n = ::read(FFd, &b, 1);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      return true;
    }
  }
  return false;
}

Bytes PollUntilAnswered(HostSide &host, std::chrono::milliseconds timeout, int *polls) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!host.HungUp() && std::chrono::steady_clock::now() < end) {
    if (polls) {
      ++*polls;
    }
    Bytes reply = host.Ask(Frame(0xFB, 1), 18);
    if (reply.size() == 18) {
      return reply;
    }
  }
  return {};
}

bool PollUntilSilent(HostSide &host, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (host.Ask(Frame(0xFB, 1), 18, 100ms).empty()) {
      return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

bool LoadPageAndFinish(HostSide &host, uint32_t address, uint8_t fill) {
  const Bytes ok{0x06, 0xFB, 0x01, 0x00, 0x00, 0xFE};
  for (uint8_t i = 0; i < 12; ++i) {
    if (host.Ask(Block(i, fill), 6) != ok) {
      return false;
    }
  }
  return host.Ask(WritePage(address), 6) == ok && host.Ask(Frame(0xFB, 6), 6) == ok;
}
