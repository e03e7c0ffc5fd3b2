#include "sim/HostSide.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <numeric>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

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

HostSide::HostSide(const std::string &path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GE(fd_, 0) << path << ": " << std::strerror(errno);
}

HostSide::~HostSide() {
  Close();
}

void HostSide::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

void HostSide::Send(const Bytes &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, 100);
      continue;
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
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      continue;
    }
    uint8_t buffer[512];
    ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
    if (n <= 0) {
      if (n < 0 && errno == EAGAIN) {
        continue;
      }
      break; // hung up
    }
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

Bytes HostSide::ReadFor(std::chrono::milliseconds wait) {
  return Read(SIZE_MAX, wait);
}

bool HostSide::SeesHangup(std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd_, POLLIN, 0};
    ::poll(&p, 1, 100);
    uint8_t b;
    ssize_t n = ::read(fd_, &b, 1);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      return true;
    }
  }
  return false;
}
