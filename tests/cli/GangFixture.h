// The gang's test bench: a copy of korvalen-cli with a ports folder of its
// own, korvalen-sim processes behind ports/COMn, an image and what a device
// must hold after it, and standard output read back as JSON events.
#pragma once

#include "cli/Processes.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <map>
#include <random>
#include <sstream>

namespace gang {
using namespace process;
using Bytes = std::vector<uint8_t>;
using Json = nlohmann::json;

inline const char *const kDone = "Загрузка окончена.";
inline const char *const kNoLink =
    "RS232. Нет связи. Проверьте правильность соединения PC и устройства.";
inline const char *const kWrongMicrocontroller = "В устройстве неверный микроконтроллер.";
// What korvalen-sim reports unless told otherwise.
inline const Bytes kResetVector = {0x04, 0x02, 0x00, 0x00, 0x00, 0x00};

class GangFixture : public ::testing::Test {
protected:
  void SetUp() override {
    FFolder = FreshTestFolder("korvalen-gang");
    fs::create_directories(FFolder / "ports");
    FProgram = FFolder / "korvalen-cli";
    // A copy of the program with a ports folder of its own: COMn names a device of the test.
    fs::copy_file(fs::path(KORVALEN_CLI_PROGRAM), FProgram);
  }
  void TearDown() override {
    FDevices.clear();
    fs::remove_all(FFolder);
  }

  // A korvalen-sim with these arguments, behind ports/COM<number>; it leaves
  // after Finish unless told to stay.
  Sim &StartDevice(int number, std::vector<std::string> args, bool stays = false) {
    const fs::path home = FFolder / ("device" + std::to_string(number));
    fs::create_directories(home);
    args.insert(args.end(), {"--echo", "on"});
    if (!stays)
      args.push_back("--exit-after-finish");
    Sim &device = *FDevices.emplace_back(std::make_unique<Sim>(home, args));
    fs::create_symlink(device.SlavePath(), FFolder / "ports" / ("COM" + std::to_string(number)));
    return device;
  }

  Options WithFiles(std::vector<std::string> args) {
    return WithOutputFiles(FFolder, std::move(args));
  }
  Ran RunCli(Options options, std::chrono::milliseconds limit = 120s) {
    Child child(FProgram, options);
    return Collect(child, FFolder, limit);
  }
  Ran RunCli(std::vector<std::string> args) { return RunCli(WithFiles(std::move(args))); }

  // `pages` pages of seeded bytes and the trailer for device code 97.
  std::string Image(size_t pages) {
    std::mt19937 random(static_cast<uint32_t>(pages));
    FImageBytes.assign(pages * 1536, 0);
    for (auto &b : FImageBytes)
      b = static_cast<uint8_t>(random());
    Bytes file = FImageBytes;
    file.insert(file.end(), {0x61, 0x65, 0x00});
    const fs::path path = FFolder / "image.rom";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(file.data()), static_cast<long>(file.size()));
    return path.string();
  }
  // What a device holds after the whole image: page 1 with its reset vector,
  // pages 2 to 4 never written (FF), the rest as the image has them.
  Bytes Loaded() const {
    Bytes memory = FImageBytes;
    std::fill(memory.begin() + 1536, memory.begin() + 4 * 1536, 0xFF);
    std::copy(kResetVector.begin(), kResetVector.end(), memory.begin());
    return memory;
  }

  // Every line of standard output is one JSON object with port, t and event.
  static std::vector<Json> Events(const std::string &out) {
    std::vector<Json> events;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      Json event = Json::parse(line); // throws on a line that is not JSON
      EXPECT_TRUE(event.is_object() && event.contains("port") && event.contains("t") &&
                  event.contains("event"))
          << line;
      events.push_back(std::move(event));
    }
    return events;
  }
  // Each port's events, in order.
  static std::map<std::string, std::vector<Json>> ByPort(const std::vector<Json> &events) {
    std::map<std::string, std::vector<Json>> ports;
    for (const Json &event : events)
      ports[event.at("port").is_null() ? "" : event.at("port").get<std::string>()].push_back(event);
    return ports;
  }

  // Waits until `count` ports have each told a page as their latest event.
  bool EveryPortLoading(size_t count) {
    return WaitUntil(
        [&] {
          const auto ports = ByPort(Events(Slurp(FFolder / "out.txt")));
          return ports.size() == count &&
                 std::all_of(ports.begin(), ports.end(),
                             [](const auto &p) { return p.second.back().at("event") == "page"; });
        },
        60s);
  }

  fs::path FFolder;
  fs::path FProgram;
  std::vector<std::unique_ptr<Sim>> FDevices;
  Bytes FImageBytes;
};

inline bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// The line of `text` that begins with `start`, with its runs of spaces made one.
inline std::string Row(const std::string &text, const std::string &start) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(start, 0) != 0)
      continue;
    std::string squeezed;
    for (char c : line)
      if (c != ' ' || squeezed.empty() || squeezed.back() != ' ')
        squeezed.push_back(c);
    return squeezed;
  }
  return {};
}
} // namespace gang
