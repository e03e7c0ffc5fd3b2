// korvalen-cli report: the yield of a line from its journals: loads, done,
// rejected, failed and cancelled per port, image, day or station, the time a
// done load takes, and which failures the line sees how often.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>

#include "cli/Command.h"
#include "cli/ExitCodes.h"
#include "cli/JsonEvents.h"
#include "cli/LinkOptions.h"
#include "cli/Signals.h"
#include "station/Journal.h"
#include "station/Report.h"

namespace {
std::string CheckTime(const std::string &text) {
  return IsTimePrefix(text) ? std::string()
                            : "'" + text +
                                  "' is not a time such as 2026-12-09 or "
                                  "2026-12-09T10:30 (UTC)";
}

std::string Seconds(const std::optional<double> &value) {
  if (!value)
    return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", *value);
  return text;
}

// "checksum 2.1, no reply 0.4": the reasons that occurred, most frequent first.
std::string FailureText(const GroupSummary &group) {
  std::vector<std::pair<double, std::string>> reasons;
  for (size_t i = 0; i < kAttemptFailureKinds; ++i) {
    const auto reason = static_cast<AttemptFailure>(i);
    if (group.FailedAttempts[i] == 0)
      continue;
    std::string name(AttemptFailureName(reason));
    std::replace(name.begin(), name.end(), '_', ' ');
    reasons.emplace_back(group.FailedPerThousand(reason), name);
  }
  std::stable_sort(reasons.begin(), reasons.end(),
                   [](const auto &a, const auto &b) { return a.first > b.first; });
  std::string text;
  for (const auto &[perThousand, name] : reasons) {
    char value[32];
    std::snprintf(value, sizeof value, "%.1f", perThousand);
    text += (text.empty() ? "" : ", ") + name + " " + value;
  }
  return text.empty() ? "-" : text;
}

Json GroupJson(const GroupSummary &group) {
  Json failed = Json::object();
  for (size_t i = 0; i < kAttemptFailureKinds; ++i) {
    const auto reason = static_cast<AttemptFailure>(i);
    failed[std::string(AttemptFailureName(reason))] = group.FailedPerThousand(reason);
  }
  return Json{{"key", group.Key},
              {"loads", group.Loads},
              {"done", group.Done},
              {"rejected", group.Rejected},
              {"failed", group.Failed},
              {"cancelled", group.Cancelled},
              {"done_share", group.DoneShare},
              {"median_seconds", group.MedianSeconds ? Json(*group.MedianSeconds) : Json()},
              {"p95_seconds", group.P95Seconds ? Json(*group.P95Seconds) : Json()},
              {"exchanges", group.Exchanges},
              {"failed_per_1000_exchanges", failed}};
}

class ReportCommand final : public Command {
public:
  void AddTo(CLI::App &app) override {
    FSubcommand = app.add_subcommand("report", "The yield of a line from its journals");
    FSubcommand->add_option("JOURNAL", FJournals, "Journals written by load --journal");
    FSubcommand
        ->add_option("--journal", FJournalOptions,
                     "A journal (as JOURNAL): a file, or a PostgreSQL server, whose groups it "
                     "runs as queries")
        ->type_name("FILE|SERVER");
    FSubcommand->add_option("--since", FFilter.Since, "Only loads at or after TIME (UTC)")
        ->check(CLI::Validator(CheckTime, "", "TIME"))
        ->type_name("TIME");
    FSubcommand
        ->add_option("--until", FFilter.Until, "Only loads up to TIME (UTC); a day takes all of it")
        ->check(CLI::Validator(CheckTime, "", "TIME"))
        ->type_name("TIME");
    FSubcommand
        ->add_option("--by", FBy,
                     "Group by port, image, day (UTC) or station; without it, "
                     "only the total")
        ->check(CLI::IsMember({"port", "image", "day", "station", "serial"}))
        ->type_name("port|image|day|station|serial");
    FSubcommand->add_option("--serial", FSerial, "The board that serial number N went into")
        ->type_name("N");
    AddJsonFlag(*FSubcommand, FJson);
  }

  int Run(const std::string &) override {
    InstallImmediateInterrupt();
    FJournals.insert(FJournals.end(), FJournalOptions.begin(), FJournalOptions.end());
    if (FJournals.empty()) {
      std::cerr << "A journal is required: JOURNAL, or --journal FILE|SERVER." << std::endl;
      return kExitUsage;
    }
    const bool onServer = std::any_of(FJournals.begin(), FJournals.end(), IsServerAddress);
    if (onServer && FJournals.size() > 1) {
      std::cerr << "A journal on a server is reported alone: it holds every station's records."
                << std::endl;
      return kExitUsage;
    }
    const ReportGrouping grouping = FBy == "port"      ? ReportGrouping::Port
                                    : FBy == "image"   ? ReportGrouping::Image
                                    : FBy == "day"     ? ReportGrouping::Day
                                    : FBy == "station" ? ReportGrouping::Station
                                                       : ReportGrouping::None;
    const bool bySerial = FBy == "serial" || FSerial.has_value();
    Report report;
    std::vector<SerialEntry> serials;
    std::vector<std::pair<std::string, std::vector<size_t>>> damaged;
    try {
      if (onServer) {
        // The groups are the server's queries: its records stay where they are.
        JournalOptions reading;
        reading.ReadOnly = true;
        const std::unique_ptr<Journal> journal = OpenJournal(FJournals[0], reading);
        ReportingStore &store = *journal->Reporting();
        if (bySerial) {
          serials = store.Serials(FFilter, FSerial, false);
        } else {
          report = store.Summarize(grouping, FFilter);
          if (!FJson)
            serials = store.Serials(FFilter, std::nullopt, true);
        }
      } else {
        JournalContents all;
        for (const std::string &name : FJournals) {
          JournalContents contents = OpenJournal(name)->Read();
          const auto take = [](auto &into, auto &from) {
            into.insert(into.end(), std::make_move_iterator(from.begin()),
                        std::make_move_iterator(from.end()));
          };
          take(all.Loads, contents.Loads);
          take(all.Serials, contents.Serials);
          take(all.Voids, contents.Voids);
          if (!contents.DamagedLines.empty())
            damaged.emplace_back(name, std::move(contents.DamagedLines));
        }
        serials = Serials(all, FFilter, FSerial);
        if (!bySerial)
          report = Summarize(all.Loads, grouping, FFilter);
      }
    } catch (const EJournalError &failure) {
      std::cerr << failure.what() << std::endl;
      return kExitFileProblem;
    }
    if (bySerial) {
      if (FJson)
        WriteSerialsJson(serials);
      else
        WriteSerialsText(serials);
      return FSerial && serials.empty() ? kExitFileProblem : kExitDone;
    }
    if (FJson) {
      WriteJson(report, damaged);
    } else {
      WriteText(report, damaged);
      std::vector<std::string> voided;
      for (const SerialEntry &entry : serials)
        if (entry.Void)
          voided.push_back(std::to_string(entry.Number) + " (" + entry.Reason + ")");
      if (!voided.empty()) {
        std::cout << "Void serial numbers:";
        for (const std::string &text : voided)
          std::cout << " " << text;
        std::cout << std::endl;
      }
    }
    return kExitDone;
  }

private:
  void WriteText(const Report &report,
                 const std::vector<std::pair<std::string, std::vector<size_t>>> &damaged) const {
    size_t width = 5;
    for (const GroupSummary &group : report.Groups)
      width = std::max(width, group.Key.size());
    char row[512];
    std::snprintf(row, sizeof row, "%-*s  %6s  %6s  %8s  %6s  %9s  %6s  %8s  %7s  %s",
                  static_cast<int>(width), Heading().c_str(), "Loads", "Done", "Rejected", "Failed",
                  "Cancelled", "Done%", "Median s", "P95 s", "Failed attempts per 1000 exchanges");
    std::cout << row << '\n';
    std::vector<const GroupSummary *> rows;
    for (const GroupSummary &group : report.Groups)
      rows.push_back(&group);
    rows.push_back(&report.All);
    for (const GroupSummary *group : rows) {
      std::snprintf(row, sizeof row, "%-*s  %6llu  %6llu  %8llu  %6llu  %9llu  %5.1f%%  %8s  %7s  ",
                    static_cast<int>(width), group->Key.c_str(),
                    static_cast<unsigned long long>(group->Loads),
                    static_cast<unsigned long long>(group->Done),
                    static_cast<unsigned long long>(group->Rejected),
                    static_cast<unsigned long long>(group->Failed),
                    static_cast<unsigned long long>(group->Cancelled), 100 * group->DoneShare,
                    Seconds(group->MedianSeconds).c_str(), Seconds(group->P95Seconds).c_str());
      std::cout << row << FailureText(*group) << '\n';
    }
    size_t total = 0;
    for (const auto &[name, lines] : damaged) {
      total += lines.size();
      std::cout << "Damaged lines in " << name << ":";
      for (size_t line : lines)
        std::cout << " " << line;
      std::cout << '\n';
    }
    std::cout << "Damaged lines: " << total << std::endl;
  }

  static void WriteSerialsText(const std::vector<SerialEntry> &serials) {
    std::cout << "Serial  Handed out                Station  Port  Outcome    Image\n";
    for (const SerialEntry &entry : serials) {
      const std::string outcome =
          entry.Void ? "void: " + entry.Reason : (entry.Outcome.empty() ? "-" : entry.Outcome);
      std::cout << entry.Number << "  " << entry.Time << "  " << entry.Station << "  " << entry.Port
                << "  " << outcome << "  " << (entry.Image.empty() ? "-" : entry.Image) << '\n';
    }
    std::cout.flush();
  }

  static void WriteSerialsJson(const std::vector<SerialEntry> &serials) {
    JsonEvents events(std::cout, {});
    for (const SerialEntry &entry : serials)
      events.Write("serial", {{"number", entry.Number},
                              {"time", entry.Time},
                              {"station", entry.Station},
                              {"port", entry.Port},
                              {"image", entry.Image.empty() ? Json() : Json(entry.Image)},
                              {"outcome", entry.Outcome.empty() ? Json() : Json(entry.Outcome)},
                              {"load_time", entry.LoadTime.empty() ? Json() : Json(entry.LoadTime)},
                              {"void", entry.Void},
                              {"reason", entry.Reason.empty() ? Json() : Json(entry.Reason)}});
  }

  void WriteJson(const Report &report,
                 const std::vector<std::pair<std::string, std::vector<size_t>>> &damaged) const {
    JsonEvents events(std::cout, {});
    for (const GroupSummary &group : report.Groups) {
      Json fields = GroupJson(group);
      fields["by"] = FBy;
      events.Write("group", fields);
    }
    Json journals = Json::array();
    size_t total = 0;
    for (const auto &[name, lines] : damaged) {
      journals.push_back({{"journal", name}, {"lines", lines}});
      total += lines.size();
    }
    Json fields = GroupJson(report.All);
    fields["damaged_lines"] = total;
    fields["damaged"] = journals;
    events.Write("total", fields);
  }

  // "Port", "Image", "Day", "Station"; "Group" without --by.
  std::string Heading() const {
    if (FBy.empty())
      return "Group";
    std::string heading = FBy;
    heading[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(heading[0])));
    return heading;
  }

  std::vector<std::string> FJournals, FJournalOptions;
  ReportFilter FFilter;
  std::string FBy;
  std::optional<uint64_t> FSerial;
  bool FJson = false;
};
} // namespace

std::unique_ptr<Command> MakeReportCommand() {
  return std::make_unique<ReportCommand>();
}
