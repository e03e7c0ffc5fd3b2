// korvalen-gui-probe: watches a desktop program's load from the outside, on
// its X display, from the moment Load was pressed until a window with the
// given title (the outcome box) appears.
//
//   korvalen-gui-probe WINDOW PID TITLE [--ping-ms N] [--limit-s N] [--fail-title T]
//
// While it waits it sends the window the window manager's _NET_WM_PING every
// N ms (default 20): the program answers from its event loop, so the answer's
// delay is how long the window would take to react to the operator. Prints
// one line of key=value pairs: the wall time until the window appeared, the
// program's CPU time over it, and the ping delays. Exits 1 when the window
// did not appear within the limit (default 600 s), 2 when a window titled T
// (the error box) appeared instead.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <poll.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>
#include <xcb/xcb.h>

namespace {

using Clock = std::chrono::steady_clock;

// The CPU time (user + system) of a process so far, in seconds.
double CpuSeconds(long pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // The command name may hold spaces: fields are counted after its ")".
  const auto close = text.rfind(')');
  if (close == std::string::npos)
    return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; fields >> field && index <= 15; ++index)
    if (index == 14 || index == 15)
      ticks += std::stod(field);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

xcb_atom_t Atom(xcb_connection_t *c, const char *name) {
  xcb_intern_atom_reply_t *reply =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::strlen(name), name), nullptr);
  xcb_atom_t atom = XCB_ATOM_NONE;
  if (reply)
    atom = reply->atom;
  std::free(reply);
  return atom;
}

std::string WindowTitle(xcb_connection_t *c, xcb_window_t window, xcb_atom_t name,
                        xcb_atom_t utf8) {
  xcb_get_property_reply_t *reply =
      xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, utf8, 0, 1024), nullptr);
  std::string title;
  if (reply)
    title.assign(static_cast<const char *>(xcb_get_property_value(reply)),
                 static_cast<size_t>(xcb_get_property_value_length(reply)));
  std::free(reply);
  return title;
}

bool ClientListHas(xcb_connection_t *c, xcb_window_t root, const std::string &title,
                   xcb_atom_t list, xcb_atom_t name, xcb_atom_t utf8) {
  if (title.empty())
    return false;
  xcb_get_property_reply_t *reply = xcb_get_property_reply(
      c, xcb_get_property(c, 0, root, list, XCB_ATOM_WINDOW, 0, 1024), nullptr);
  bool found = false;
  if (reply && reply->format == 32) {
    const auto *windows = static_cast<const xcb_window_t *>(xcb_get_property_value(reply));
    const int count = xcb_get_property_value_length(reply) / 4;
    for (int i = 0; i < count && !found; ++i)
      found = WindowTitle(c, windows[i], name, utf8) == title;
  }
  std::free(reply);
  return found;
}

double Milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: korvalen-gui-probe WINDOW PID TITLE [--ping-ms N] [--limit-s N] "
                         "[--fail-title T]\n");
    return 64;
  }
  const auto target = static_cast<xcb_window_t>(std::strtoul(argv[1], nullptr, 0));
  const long pid = std::strtol(argv[2], nullptr, 10);
  const std::string title = argv[3];
  int pingMs = 20;
  int limitS = 600;
  std::string failTitle;
  for (int i = 4; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--ping-ms") == 0)
      pingMs = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--limit-s") == 0)
      limitS = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--fail-title") == 0)
      failTitle = argv[i + 1];
  }

  const Clock::time_point start = Clock::now();
  const double cpuStart = CpuSeconds(pid);
  xcb_connection_t *c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) {
    std::fprintf(stderr, "korvalen-gui-probe: no X display\n");
    return 1;
  }
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  const xcb_atom_t clientList = Atom(c, "_NET_CLIENT_LIST");
  const xcb_atom_t netName = Atom(c, "_NET_WM_NAME");
  const xcb_atom_t utf8 = Atom(c, "UTF8_STRING");
  const xcb_atom_t protocols = Atom(c, "WM_PROTOCOLS");
  const xcb_atom_t ping = Atom(c, "_NET_WM_PING");
  // Answers to pings go to the root window; so do changes of the client list.
  // (Qt answers with the root's structure mask, other programs with the
  // substructure mask.)
  const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY |
                        XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(c);

  std::map<uint32_t, Clock::time_point> outstanding;
  std::vector<double> delays;
  uint32_t serial = 1;
  Clock::time_point nextPing = start;
  const Clock::time_point deadline = start + std::chrono::seconds(limitS);
  bool appeared = ClientListHas(c, root, title, clientList, netName, utf8);
  bool failed = false;
  Clock::time_point end = Clock::now();
  while (!appeared && !failed) {
    Clock::time_point now = Clock::now();
    if (now >= deadline)
      break;
    if (now >= nextPing) {
      xcb_client_message_event_t message{};
      message.response_type = XCB_CLIENT_MESSAGE;
      message.format = 32;
      message.window = target;
      message.type = protocols;
      message.data.data32[0] = ping;
      message.data.data32[1] = serial;
      message.data.data32[2] = target;
      xcb_send_event(c, 0, target, XCB_EVENT_MASK_NO_EVENT,
                     reinterpret_cast<const char *>(&message));
      xcb_flush(c);
      outstanding[serial++] = now;
      nextPing += std::chrono::milliseconds(pingMs);
    }
    pollfd state{xcb_get_file_descriptor(c), POLLIN, 0};
    const int wait = static_cast<int>(std::max<double>(0, Milliseconds(nextPing - Clock::now())));
    poll(&state, 1, std::min(wait, pingMs));
    while (xcb_generic_event_t *event = xcb_poll_for_event(c)) {
      const Clock::time_point seen = Clock::now();
      const uint8_t type = event->response_type & 0x7F;
      if (type == XCB_CLIENT_MESSAGE) {
        const auto *answer = reinterpret_cast<xcb_client_message_event_t *>(event);
        if (answer->type == protocols && answer->data.data32[0] == ping &&
            answer->data.data32[2] == target) {
          const auto sent = outstanding.find(answer->data.data32[1]);
          if (sent != outstanding.end()) {
            delays.push_back(Milliseconds(seen - sent->second));
            outstanding.erase(sent);
          }
        }
      } else if (type == XCB_PROPERTY_NOTIFY) {
        const auto *change = reinterpret_cast<xcb_property_notify_event_t *>(event);
        if (change->window == root && change->atom == clientList) {
          appeared = ClientListHas(c, root, title, clientList, netName, utf8);
          failed = ClientListHas(c, root, failTitle, clientList, netName, utf8);
          end = seen;
        }
      }
      std::free(event);
    }
    if (xcb_connection_has_error(c))
      break;
  }
  const double cpu = CpuSeconds(pid) - cpuStart;
  // A ping sent just before the end may still be on its way.
  const auto unanswered = std::count_if(outstanding.begin(), outstanding.end(), [&](const auto &p) {
    return end - p.second > std::chrono::milliseconds(100);
  });
  xcb_disconnect(c);
  if (failed) {
    std::fprintf(stderr, "korvalen-gui-probe: a window \"%s\" appeared\n", failTitle.c_str());
    return 2;
  }
  if (!appeared) {
    std::fprintf(stderr, "korvalen-gui-probe: no window \"%s\" within %d s\n", title.c_str(),
                 limitS);
    return 1;
  }
  std::sort(delays.begin(), delays.end());
  const auto percentile = [&](double p) {
    return delays.empty() ? 0.0 : delays[static_cast<size_t>(p * (delays.size() - 1))];
  };
  std::printf("wall_s=%.3f cpu_s=%.3f pings=%zu unanswered=%zu ping_median_ms=%.1f "
              "ping_p99_ms=%.1f ping_max_ms=%.1f\n",
              Milliseconds(end - start) / 1000, cpu, delays.size() + outstanding.size(),
              static_cast<size_t>(unanswered), percentile(0.5), percentile(0.99),
              delays.empty() ? 0.0 : delays.back());
  return 0;
}
