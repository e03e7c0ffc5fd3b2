// The desktop program as a person meets it on a real display (Xvfb with
// openbox, driven by xdotool): what happens around its first showing that
// offscreen tests cannot see.
#include "cli/Processes.h"

#include <cstdlib>
#include <sstream>

namespace {
using namespace process;

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

bool Installed(const char *program) {
  for (const char *folder : {"/usr/bin/", "/bin/", "/usr/local/bin/"})
    if (access((std::string(folder) + program).c_str(), X_OK) == 0)
      return true;
  return false;
}

// A display of its own, with a window manager, for one test.
class Display {
public:
  explicit Display(const fs::path &folder) : FFolder(folder) {
    int pipe[2];
    if (::pipe(pipe) != 0)
      return;
    // Xvfb picks a free display and writes its number on standard output.
    Options server;
    server.Args = {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"};
    server.Out = Stream::ToDescriptor(pipe[1]);
    FServer.emplace("/usr/bin/Xvfb", server);
    ::close(pipe[1]);
    std::string number;
    pollfd ready{pipe[0], POLLIN, 0};
    while (::poll(&ready, 1, 10000) > 0) {
      char c;
      if (::read(pipe[0], &c, 1) != 1 || c == '\n')
        break;
      number += c;
    }
    ::close(pipe[0]);
    if (number.empty())
      return;
    FName = ":" + number;
    Options manager;
    manager.Environment = {"DISPLAY=" + FName};
    FManager.emplace("/usr/bin/openbox", manager);
    // Time for the manager to take the display before the first window maps.
    std::this_thread::sleep_for(1s);
  }

  const std::string &Id() const { return FName; }

  // Runs xdotool on this display; its output, or nothing when it failed.
  std::optional<std::string> Tool(std::vector<std::string> args) {
    Options options;
    options.Args = std::move(args);
    options.Environment = {"DISPLAY=" + FName};
    const fs::path out = FFolder / "xdotool.out";
    fs::remove(out);
    options.Out = Stream::ToFile(out.string());
    Child tool("/usr/bin/xdotool", options);
    if (tool.Wait(20s) != 0)
      return std::nullopt;
    return Slurp(out);
  }
  // The id of the visible window with exactly this title, waiting for it.
  // xdotool matches titles without regard to case ("korvalen" would find the
  // main window "Korvalen"), so each candidate's title is compared exactly.
  std::optional<std::string> Window(const std::string &title) {
    std::optional<std::string> found;
    WaitUntil(
        [&] {
          const auto ids = Tool({"search", "--onlyvisible", "--name", "^" + title + "$"});
          std::istringstream lines(ids.value_or(""));
          for (std::string id; std::getline(lines, id);)
            if (Tool({"getwindowname", id}) == title + "\n") {
              found = id;
              return true;
            }
          return false;
        },
        15s);
    return found;
  }
  // Presses and releases a key in a window, as a person at the keyboard.
  void Press(const std::string &window, const std::string &key) {
    Tool({"windowactivate", "--sync", window});
    Tool({"key", "--window", window, key});
    Tool({"keyup", "--window", window, key});
  }

private:
  fs::path FFolder;
  std::string FName;
  std::optional<Child> FServer, FManager;
};
} // namespace

// An error that escapes the main window's first show (here: no settings file
// can be created on a full disk) is shown in the application's error box, and
// the program goes on running without the link's settings.
TEST(DesktopProgram, AnErrorOfTheFirstShowIsShownAndTheProgramGoesOn) {
  for (const char *tool : {"Xvfb", "openbox", "xdotool", "unshare"})
    if (!Installed(tool))
      GTEST_SKIP() << tool << " is not installed";
  const fs::path folder =
      fs::temp_directory_path() / ("korvalen-desktop-" + std::to_string(getpid()));
  fs::create_directories(folder / "disk");
  fs::create_directories(folder / "runtime");
  fs::permissions(folder / "runtime", fs::perms(0700));
  Sim device(folder, {});

  Display display(folder);
  ASSERT_FALSE(display.Id().empty()) << "Xvfb did not start";
  // A disk of its own, full, in a mount namespace of the program's own: the
  // program bound onto a file there (a copy would take the disk's room and
  // depend on the build's size) and its ports beside it, then a filler that
  // takes the rest.
  const std::string disk = (folder / "disk").string();
  const std::string script = "mount --make-rprivate / && mount -t tmpfs -o size=1m tmpfs '" + disk +
                             "' && touch '" + disk + "/korvalen' && mount --bind '" +
                             KORVALEN_DESKTOP_PROGRAM + "' '" + disk + "/korvalen' && mkdir '" +
                             disk + "/ports' && ln -s '" + device.SlavePath() + "' '" + disk +
                             "/ports/COM1' && { dd if=/dev/zero of='" + disk +
                             "/filler' bs=4k 2>/dev/null; true; } && exec '" + disk + "/korvalen'";
  Options options;
  options.Args = {geteuid() == 0 ? "-m" : "-rm", "sh", "-c", script};
  options.Environment = {"DISPLAY=" + display.Id(), "QT_QPA_PLATFORM=xcb",
                         "XDG_RUNTIME_DIR=" + (folder / "runtime").string()};
  options.Err = Stream::ToFile((folder / "korvalen.err").string());
  Child program("/usr/bin/unshare", options);

  const std::optional<std::string> box = display.Window("korvalen");
  if (!box && !program.Running() && Has(Slurp(folder / "korvalen.err"), "mount"))
    GTEST_SKIP() << "no mount namespace here: " << Slurp(folder / "korvalen.err");
  ASSERT_TRUE(box.has_value()) << "no error box; " << Slurp(folder / "korvalen.err");
  display.Press(*box, "Return");
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(program.Running()) << "the program ended with the box";
  const std::optional<std::string> main = display.Window("Korvalen");
  EXPECT_TRUE(main.has_value()) << "the main window is not on screen";

  if (main)
    display.Press(*main, "alt+F4");
  EXPECT_EQ(program.Wait(20s), 0);
  fs::remove_all(folder);
}
