#include "link/serial/SystemConsoles.h"
#include "link/Zor_RS232.h"
#include "link/serial/PosixSerialPort.h"
#include "serial/PseudoTerminal.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {
namespace fs = std::filesystem;

void Put(const fs::path &path, const std::string &text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

dev_t DeviceOf(const std::string &path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0);
  return info.st_rdev;
}

// Counts the opens of one file, as the kernel reports them.
class OpenWatch {
public:
  explicit OpenWatch(const std::string &path) : FFd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    EXPECT_GE(inotify_add_watch(FFd, path.c_str(), IN_OPEN), 0);
  }
  ~OpenWatch() { close(FFd); }
  int Opens() {
    alignas(inotify_event) char events[4096];
    const ssize_t got = read(FFd, events, sizeof events);
    int opens = 0;
    for (ssize_t at = 0; at < got;) {
      const auto *event = reinterpret_cast<const inotify_event *>(events + at);
      opens += (event->mask & IN_OPEN) != 0;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    return opens;
  }

private:
  int FFd;
};
} // namespace

TEST(SystemConsoles, AreReadFromTheKernelsListsAndDevConsole) {
  const TemporaryFolder scratch;
  const fs::path root = scratch.Path() / "root";
  const dev_t devConsole = makedev(5, 1);
  struct Case {
    std::string Name, ProcConsoles, Active;
    std::vector<dev_t> Expected;
  };
  const std::vector<Case> cases = {
      {"neither file", "", "", {devConsole}},
      {"serial console",
       "ttyS0                -W- (EC  p a)    4:64\n",
       "ttyS0\n",
       {devConsole, makedev(4, 64), makedev(4, 64)}},
      {"two consoles, the active list naming the virtual terminal",
       "tty0                 -WU (E  p  )    4:0\nttyAMA0              -W- (E  p a)  204:64\n",
       "tty0 ttyAMA0\n",
       {devConsole, makedev(4, 0), makedev(204, 64), makedev(4, 0), makedev(204, 64)}},
      {"garbled lines and names that leave the folder",
       "ttyS0 -W- (EC p a) four:64\n\n   \nttyS1 -W- 4:65 extra\n",
       "../../etc ttyNone ttyS0\n",
       {devConsole, makedev(4, 64)}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(root);
    if (!c.ProcConsoles.empty())
      Put(root / "proc/consoles", c.ProcConsoles);
    if (!c.Active.empty())
      Put(root / "sys/class/tty/console/active", c.Active);
    Put(root / "sys/class/tty/tty0/dev", "4:0\n");
    Put(root / "sys/class/tty/ttyS0/dev", "4:64\n");
    Put(root / "sys/class/tty/ttyAMA0/dev", "204:64\n");
    EXPECT_EQ(ReadSystemConsoles(root), c.Expected);
  }
}

// A port that is the console is there, but neither free nor opened, and not
// even touched, unless consoles are allowed.
TEST(SystemConsoles, APortThatIsTheConsoleIsNeverOpenedUnlessAllowed) {
  PseudoTerminal console;
  PseudoTerminal other;
  const dev_t consoleDevice = DeviceOf(console.SlavePath());
  const TemporaryFolder scratch;
  const fs::path &folder = scratch.Path();
  fs::create_symlink(console.SlavePath(), folder / "COM1");
  fs::create_symlink(other.SlavePath(), folder / "COM2");
  PosixPortSeams seams;
  seams.Consoles = [consoleDevice] { return std::vector<dev_t>{makedev(5, 1), consoleDevice}; };

  PosixSerialPlatform refusing(PortTable::FromFolder(folder), ConsoleAccess::Refused, seams);
  OpenWatch watch(console.SlavePath());
  EXPECT_EQ(refusing.Status(1), PortStatus::Console);
  EXPECT_TRUE(IsPresent(refusing.Status(1)));
  EXPECT_FALSE(refusing.Probe(1));
  EXPECT_EQ(refusing.Open(1), nullptr);
  EXPECT_EQ(watch.Opens(), 0) << "the console was opened";
  EXPECT_EQ(refusing.Status(2), PortStatus::Free);
  EXPECT_NE(refusing.Open(2), nullptr);

  // The desktop program's scan does not offer it, and a settings file that
  // names it falls back to the first free port.
  TZor_RS link(nullptr, nullptr,
               std::make_shared<PosixSerialPlatform>(PortTable::FromFolder(folder),
                                                     ConsoleAccess::Refused, seams));
  EXPECT_FALSE(link.PortFree[1]);
  EXPECT_TRUE(link.PortFree[2]);
  link.OpenPort(1);
  EXPECT_EQ(link.PortNumber, 2);
  EXPECT_TRUE(link.IsOpen());
  EXPECT_EQ(watch.Opens(), 0) << "the console was opened";

  PosixSerialPlatform allowing(PortTable::FromFolder(folder), ConsoleAccess::Allowed, seams);
  EXPECT_EQ(allowing.Status(1), PortStatus::Free);
  EXPECT_NE(allowing.Open(1), nullptr);
  EXPECT_GT(watch.Opens(), 0);
}
