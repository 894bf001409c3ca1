// The offline journal on real files: what is appended reads back, across restarts and kills; torn,
// damaged and hostile lines; one process at a time.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>

#include "offline/journal.h"

namespace tav::offline {
namespace {

namespace fs = std::filesystem;

std::string fileText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The i-th decision a station might make, numbered i.
Decision decision(int i) {
  char key[32];
  std::snprintf(key, sizeof key, "key-%018d", i);
  return {i, key, 1'700'000'000'000 + i, 1000LL * i, "B2024", i % 3 ? "I" : "O", i % 2 ? "E석" : "",
          "T" + std::to_string(i), "gate01", i % 3 ? "entry" : "not-inside"};
}

// A journal line as its format says: the body, then a CRC-32 of the body as its last member.
std::string sealedLine(const std::string& body) {
  char crc[9];
  std::snprintf(crc, sizeof crc, "%08lx", crc32_z(0, reinterpret_cast<const Bytef*>(body.data()), body.size()));
  return body.substr(0, body.size() - 1) + ",\"crc\":\"" + crc + "\"}\n";
}

class JournalTest : public testing::Test {
 protected:
  fs::path folder;
  fs::path file;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tav-journal-test-XXXXXX").string();
    ASSERT_TRUE(mkdtemp(pattern.data()));
    folder = pattern;
    file = folder / "offline-journal-gate.log";
  }
  void TearDown() override { fs::remove_all(folder); }

  Journal open() { return Journal::open(folder, "gate"); }
  // A journal of decisions 1 to `count`, closed again; returns its text.
  std::string journalOf(int count) {
    Journal journal = open();
    for (int i = 1; i <= count; ++i) journal.append(decision(i));
    return fileText(file);
  }
  void write(const std::string& text) { std::ofstream(file, std::ios::binary | std::ios::trunc) << text; }
};

TEST_F(JournalTest, AppendsReadBackAndTheSequenceGoesOnAfterReopening) {
  {
    Journal journal = open();
    Decision first = decision(1);
    first.sequence = 99;
    EXPECT_EQ(journal.append(first), decision(1));  // numbered by the journal
    journal.append(decision(2));
    EXPECT_EQ(journal.contents().decisions, (std::vector{decision(1), decision(2)}));
    EXPECT_EQ(fs::status(journal.path()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  }
  // The line byte for byte, as tav-server import-journal will read it.
  EXPECT_EQ(fileText(file).substr(0, fileText(file).find('\n') + 1),
            sealedLine(R"({"kind":"decision","seq":1,"key":"key-000000000000000001","utcMs":1700000000001,)"
                       R"("sinceOnlineMs":1000,"bizcode":"B2024","mode":"I","block":"E석","ticketNo":"T1",)"
                       R"("operatorId":"gate01","outcome":"entry"})"));
  EXPECT_EQ(open().append(decision(3)).sequence, 3);
  EXPECT_EQ(readJournal(file).decisions, (std::vector{decision(1), decision(2), decision(3)}));
  EXPECT_EQ(journalFileName(""), "offline-journal-station.log");
  EXPECT_EQ(journalFileName("북문 1"), "offline-journal-북문 1.log");
  EXPECT_EQ(journalFileName("../a\\b:c\nd*"), "offline-journal-.._a_b_c_d_.log");
}

TEST_F(JournalTest, AcknowledgementsAreAppendedAndATestWriteIsNoDecisionButFailsOnAMovedFile) {
  {
    Journal journal = open();
    for (int i = 1; i <= 5; ++i) journal.append(decision(i));
    journal.acknowledge(3);
    const std::string before = fileText(file);
    journal.acknowledge(2);  // a replay: nothing to say
    EXPECT_THROW(journal.acknowledge(6), JournalError);
    EXPECT_THROW(journal.acknowledge(0), JournalError);
    EXPECT_EQ(fileText(file), before);
    journal.testWrite();
    EXPECT_EQ(fileText(file).substr(0, before.size()), before);
    EXPECT_GT(fileText(file).size(), before.size());
    fs::rename(file, folder / "moved.log");
    EXPECT_THROW(journal.testWrite(), JournalError);
    fs::rename(folder / "moved.log", file);
  }
  const JournalContents read = open().contents();
  EXPECT_EQ(read.highestSequence(), 5);
  EXPECT_EQ(read.acknowledgedUpTo, 3);
  EXPECT_TRUE(read.acknowledged(read.decisions[2]));
  EXPECT_FALSE(read.acknowledged(read.decisions[3]));
  EXPECT_EQ(read.unacknowledged(), (std::vector{decision(4), decision(5)}));
}

// A last line cut short, however it was cut, is ignored; the next append starts on a fresh line.
TEST_F(JournalTest, ATornLastLineIsIgnoredAndTheNextAppendIsFine) {
  const std::string whole = journalOf(3);
  const std::size_t third = whole.rfind('\n', whole.size() - 2) + 1;
  std::string wrongChecksum = whole;
  wrongChecksum[whole.size() - 4] = whole[whole.size() - 4] == '0' ? '1' : '0';
  for (const std::string& text : {whole.substr(0, third + 1), whole.substr(0, third + 40),
                                  whole.substr(0, whole.size() - 1), wrongChecksum, whole.substr(0, third) + '\0'}) {
    SCOPED_TRACE(text.substr(third));
    write(text);
    EXPECT_EQ(readJournal(file).tornLine, 3U);
    EXPECT_EQ(readJournal(file).highestSequence(), 2);
    open().append(decision(3));
    EXPECT_EQ(fileText(file), whole);
  }
}

TEST_F(JournalTest, ABadLineBeforeTheLastIsReportedByItsNumberAndChangesNothing) {
  const std::string whole = journalOf(3);
  const std::size_t second = whole.find('\n') + 1, third = whole.find('\n', second) + 1;
  const std::string first = whole.substr(0, second), two = whole.substr(second, third - second),
                    last = whole.substr(third);
  std::string badMode = two.substr(0, two.find(",\"crc\"")) + "}";
  badMode.replace(badMode.find("\"mode\":\"I\""), 10, "\"mode\":\"S\"");
  const std::vector<std::pair<std::string, std::string>> lines{
      {std::string(two).replace(two.find("T2"), 1, "X"), "is damaged: its checksum does not match"},
      {last, "has sequence 3 where 2 comes next"},
      {sealedLine(R"({"kind":"note"})"), "is of a kind \"note\""},
      {sealedLine(R"({"kind":"acknowledged","upTo":2})"), "acknowledges sequence 2"},
      {sealedLine(R"({"kind":"test","utcMs":"1"})"), "has a \"utcMs\" that is not a whole number"},
      {sealedLine("{not json}"), "is not a JSON object"},
      {sealedLine(badMode), "holds a bad decision: its mode is neither I nor O"}};
  for (const auto& [line, reason] : lines) {
    SCOPED_TRACE(line);
    write(first + line + last);
    for (const bool asWriter : {false, true}) {
      try {
        asWriter ? (void)open() : (void)readJournal(file);
        ADD_FAILURE() << "read without an error";
      } catch (const JournalError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Line 2 of the offline journal \"" + file.string() + "\" " + reason, 0), 0U)
            << e.what();
      }
    }
    EXPECT_EQ(fileText(file), first + line + last);
  }
}

TEST_F(JournalTest, OneProcessHoldsTheJournal) {
  std::optional<Journal> holder = open();
  EXPECT_THROW(open(), JournalError);
  const pid_t child = fork();
  if (child == 0) {
    try {
      open();
    } catch (const JournalError& e) {
      _exit(std::string(e.what()).find("Another station process holds") == 0 ? 0 : 2);
    }
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process opened it";
  EXPECT_NO_THROW(Journal::open(folder, "other gate"));  // each station its own
  holder.reset();
  EXPECT_NO_THROW(open());
}

// Whatever a scanner typed or an operator is called stays inside its line and comes back as it was.
TEST_F(JournalTest, ValuesHoldingSeparatorsAndNewlinesRoundTrip) {
  const std::vector<std::string> values{"a\tb", "a\nb", "a\r\nb", "a\"b\\", "}\n{", ",\"crc\":\"00000000\"}",
                                        "티켓 번호", std::string("a\0b", 3)};
  std::vector<Decision> written;
  {
    Journal journal = open();
    for (const std::string& value : values) {
      Decision d = decision(static_cast<int>(written.size()) + 1);
      d.ticketNo = d.operatorId = d.bizCode = value;
      written.push_back(journal.append(d));
    }
  }
  EXPECT_EQ(readJournal(file).decisions, written);
}

TEST_F(JournalTest, AMalformedDecisionIsRefusedAndWritesNothing) {
  const std::vector<void (*)(Decision&)> breaks{
      [](Decision& d) { d.idempotencyKey = "short"; }, [](Decision& d) { d.idempotencyKey[3] = '+'; },
      [](Decision& d) { d.utcMs = 0; },                [](Decision& d) { d.sinceOnlineMs = -1; },
      [](Decision& d) { d.bizCode.clear(); },          [](Decision& d) { d.mode = "S"; },
      [](Decision& d) { d.block = "X석"; },            [](Decision& d) { d.ticketNo.clear(); },
      [](Decision& d) { d.operatorId.clear(); },       [](Decision& d) { d.outcome = "Entry"; },
      [](Decision& d) { d.ticketNo = "\xff\xfe"; }};
  Journal journal = open();
  for (const auto& breakIt : breaks) {
    Decision d = decision(1);
    breakIt(d);
    EXPECT_THROW(journal.append(d), JournalError) << d.ticketNo;
  }
  EXPECT_EQ(fs::file_size(file), 0U);
  EXPECT_EQ(journal.append(decision(1)).sequence, 1);
}

// A station killed while it appends: every decision whose append returned is read back, and the
// journal opens again for the next.
TEST_F(JournalTest, EveryReturnedAppendSurvivesSigkill) {
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(pipeEnds[0]);
    try {
      Journal journal = open();
      for (int i = 1;; ++i) {
        const std::int64_t sequence = journal.append(decision(i)).sequence;
        if (::write(pipeEnds[1], &sequence, sizeof sequence) != sizeof sequence) _exit(2);
      }
    } catch (...) {
      _exit(1);
    }
  }
  close(pipeEnds[1]);
  std::int64_t returned = 0, sequence = 0;
  while (returned < 300 && read(pipeEnds[0], &sequence, sizeof sequence) == sizeof sequence) returned = sequence;
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  while (read(pipeEnds[0], &sequence, sizeof sequence) == sizeof sequence) returned = sequence;
  close(pipeEnds[0]);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended before it was killed";

  const JournalContents read = readJournal(file);
  ASSERT_GE(read.highestSequence(), returned);
  ASSERT_LE(read.highestSequence(), returned + 1);  // the one under way may have made it
  for (int i = 1; i <= read.highestSequence(); ++i) EXPECT_EQ(read.decisions[i - 1], decision(i));
  EXPECT_EQ(open().append(decision(1)).sequence, read.highestSequence() + 1);
}

}  // namespace
}  // namespace tav::offline
