// A PostgreSQL 15 server of the test's own: a cluster made by initdb in a
// fresh folder under the temporary folder, run by an unprivileged user
// (nobody, when the tests run as root, whom PostgreSQL refuses), listening
// on a Unix socket in that folder and on no TCP port, with a password that
// only a pgpass file of the test gives. Stopped, killed and started again
// as a test says; stopped and removed at the end. Nothing of the machine's
// own clusters is touched. The benchmarks start theirs with it too.
#pragma once

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "station/pg/PgConnection.h"

namespace pgtest {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline const fs::path kBin = "/usr/lib/postgresql/15/bin";
inline const char *const kUser = "korvalen";
inline const char *const kPassword = "line2-fixture";
// nobody, as Debian has it.
inline constexpr uid_t kNobody = 65534;

// Why the tests cannot have a server here; empty when they can.
inline std::string Missing() {
  if (!fs::exists(kBin / "initdb") || !fs::exists(kBin / "postgres"))
    return "PostgreSQL 15 is not installed (Debian: postgresql-15): " +
           (kBin / "postgres").string() + " is missing";
  return {};
}

class PgServer {
public:
  PgServer() {
    std::string pattern = (fs::temp_directory_path() / "korvalen-pg-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("no temporary folder for a server");
    FFolder = pattern;
    const fs::path password = FFolder / "password";
    std::ofstream(password) << kPassword << '\n';
    if (geteuid() == 0) {
      // The server's user may enter its folder and nothing else of ours.
      for (const fs::path &path : {FFolder, password})
        if (::chown(path.c_str(), kNobody, kNobody) != 0)
          throw std::runtime_error("cannot give " + path.string() + " to nobody");
    }
    // The clients' password, as libpq reads it: from a pgpass file only its
    // owner may read.
    FPassFile = FFolder.string() + ".pgpass";
    std::ofstream(FPassFile) << "*:*:*:" << kUser << ":" << kPassword << '\n';
    fs::permissions(FPassFile, fs::perms::owner_read | fs::perms::owner_write);
    ::setenv("PGPASSFILE", FPassFile.c_str(), 1);
    const int made =
        Run({(kBin / "initdb").string(), "-D", Data().string(), "-U", kUser, "--auth=scram-sha-256",
             "--pwfile", password.string(), "-E", "UTF8", "--locale=C.UTF-8", "--no-sync"});
    if (made != 0)
      throw std::runtime_error("initdb failed (" + std::to_string(made) + "): see " +
                               (FFolder / "server.log").string());
    Start();
  }
  ~PgServer() {
    Stop();
    std::error_code error;
    fs::remove_all(FFolder, error);
    fs::remove(FPassFile, error);
  }
  PgServer(const PgServer &) = delete;
  PgServer &operator=(const PgServer &) = delete;

  // Starts the server and waits until it takes connections.
  void Start() {
    FServer = Spawn({(kBin / "postgres").string(), "-D", Data().string(), "-k", FFolder.string(),
                     "-c", "listen_addresses=", "-c", "max_connections=60"});
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    for (;;) {
      try {
        PgConnection probe(ConnInfo("postgres"), nullptr);
        probe.Exec("SELECT 1");
        return;
      } catch (const std::exception &failure) {
        int status = 0;
        if (waitpid(FServer, &status, WNOHANG) == FServer) {
          FServer = -1;
          throw std::runtime_error("the server did not start: see " +
                                   (FFolder / "server.log").string());
        }
        if (std::chrono::steady_clock::now() > deadline)
          throw std::runtime_error(std::string("the server did not come up: ") + failure.what());
      }
      std::this_thread::sleep_for(50ms);
    }
  }
  // A fast shutdown: every connection is ended, everything committed stays.
  void Stop() { End(SIGINT); }
  // The server and all its processes, at once (a crash, a power cut).
  void Kill() { End(SIGKILL); }
  bool Running() const { return FServer > 0; }

  // How a client names a database of it: over the socket in its folder.
  std::string ConnInfo(const std::string &database) const {
    return "host=" + FFolder.string() + " dbname=" + database + " user=" + kUser;
  }
  // A fresh database: each test's records are its own.
  std::string NewDatabase(const std::string &name) {
    PgConnection admin(ConnInfo("postgres"), nullptr);
    admin.Exec("DROP DATABASE IF EXISTS " + name);
    admin.Exec("CREATE DATABASE " + name);
    return ConnInfo(name);
  }
  const fs::path &Folder() const { return FFolder; }

private:
  fs::path Data() const { return FFolder / "data"; }

  // Starts `args` as the server's user, in a process group of its own, its
  // output in server.log.
  pid_t Spawn(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (std::string &arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string log = (FFolder / "server.log").string();
    const pid_t pid = fork();
    if (pid != 0)
      return pid;
    setsid();
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    const int in = open("/dev/null", O_RDONLY);
    if (in >= 0)
      dup2(in, 0);
    for (int fd = 3; fd < 1024; ++fd)
      close(fd);
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
      _exit(126);
    // Its folder, which the user can enter: not ours, which it may not.
    if (chdir(FFolder.c_str()) != 0)
      _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int Run(std::vector<std::string> args) {
    const pid_t pid = Spawn(std::move(args));
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void End(int signal) {
    if (FServer <= 0)
      return;
    // The whole group: the server's own processes too, when it is killed.
    ::kill(signal == SIGKILL ? -FServer : FServer, signal);
    int status = 0;
    waitpid(FServer, &status, 0);
    if (signal == SIGKILL) {
      // Its processes are gone once none of the group is left.
      for (int i = 0; i < 500 && ::kill(-FServer, 0) == 0; ++i)
        std::this_thread::sleep_for(10ms);
    }
    FServer = -1;
  }

  fs::path FFolder;
  std::string FPassFile;
  pid_t FServer = -1;
};

// Skips the running test (GoogleTest), with the reason, when no server can
// be had.
#define KORVALEN_NEEDS_POSTGRESQL()                                                                \
  do {                                                                                             \
    if (const std::string missing = ::pgtest::Missing(); !missing.empty())                         \
      GTEST_SKIP() << missing;                                                                     \
  } while (false)
} // namespace pgtest
