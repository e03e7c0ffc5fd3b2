// What a test of serial numbers checks once its stations are done: the
// journal's numbers against the boards the fixtures hold.
#pragma once

#include "cli/GangFixture.h"

#include <set>

#include "station/Journal.h"
#include "station/SerialNumber.h"

namespace gang {
// The serial numbers as a journal and the fixtures' boards hold them, once
// the abandoned ones are void: none handed out twice, none skipped, each in
// a done load or void (not both), more than `leastDone` done; each board's
// number handed out and in that board alone, each done load's number in a
// board of its port. Stops the devices to read their boards.
inline void ExpectSerialsSound(const JournalContents &contents,
                               std::vector<std::unique_ptr<Sim>> &devices,
                               const SerialLayout &layout, size_t leastDone, int boardsPerFixture) {
  std::set<uint64_t> handedOut, done, voided;
  for (const SerialRecord &serial : contents.Serials)
    EXPECT_TRUE(handedOut.insert(serial.Number).second) << serial.Number << " handed out twice";
  for (const LoadRecord &load : contents.Loads)
    if (load.Outcome == "done") {
      ASSERT_TRUE(load.Serial) << "a done load without its number";
      EXPECT_TRUE(done.insert(*load.Serial).second) << *load.Serial << " in two done loads";
    }
  for (const VoidRecord &record : contents.Voids)
    voided.insert(record.Number);
  ASSERT_FALSE(handedOut.empty());
  EXPECT_GT(done.size(), leastDone) << "the stations barely worked between the kills";
  EXPECT_EQ(*handedOut.begin(), 1u);
  EXPECT_EQ(*handedOut.rbegin(), handedOut.size()) << "a number was skipped";
  for (uint64_t number : handedOut)
    EXPECT_NE(done.count(number) + voided.count(number), 0u) << number << ": neither done nor void";
  for (uint64_t number : done)
    EXPECT_EQ(voided.count(number), 0u) << number << ": done and void";

  // The boards as the fixtures hold them.
  std::map<uint64_t, std::string> boards; // number -> "COMn board k"
  for (size_t device = 0; device < devices.size(); ++device) {
    devices[device]->Stop();
    for (int board = 1; board <= boardsPerFixture; ++board) {
      const Bytes memory = devices[device]->MemoryBytes(board);
      if (memory.size() < kPageSize || std::all_of(memory.begin(), memory.begin() + kPageSize,
                                                   [](uint8_t b) { return b == 0xFF; }))
        continue; // never in, or page 1 never written
      const std::optional<uint64_t> number = DecodeSerial(layout, memory);
      ASSERT_TRUE(number);
      const std::string where =
          "COM" + std::to_string(device + 1) + " board " + std::to_string(board);
      EXPECT_TRUE(boards.emplace(*number, where).second)
          << *number << " in " << boards[*number] << " and in " << where;
      EXPECT_EQ(handedOut.count(*number), 1u) << where << " holds " << *number;
    }
  }
  for (const LoadRecord &load : contents.Loads)
    if (load.Outcome == "done") {
      ASSERT_TRUE(boards.count(*load.Serial)) << *load.Serial << " is in no board";
      EXPECT_EQ(boards[*load.Serial].rfind(load.Port + " ", 0), 0u)
          << *load.Serial << " was recorded on " << load.Port << ", is in " << boards[*load.Serial];
    }
}
} // namespace gang
