#include "console/console_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "runtime/io_error.h"
#include "tests/unit/fake/expect_error.h"
#include "tests/unit/fake/fake_system.h"

namespace wr {
namespace {

using testing::DeviceStep;
using testing::FakeSystem;
using testing::FatalStopped;
using testing::Widen;

constexpr std::string_view kToolFailed = "Встроенное в windows средство устранения неполадок не сработало!";
constexpr std::string_view kReinstall = "В этом случае поможет только переустановка windows";

using testing::ExpectFixed;
using testing::ExpectOsCode;

std::vector<std::size_t> Sizes(const std::vector<std::string>& writes) {
  std::vector<std::size_t> sizes;
  for (const auto& w : writes) sizes.push_back(w.size());
  return sizes;
}

class ConsoleWriterTest : public ::testing::Test {
 protected:
  ConsoleWriterTest() : file(os.AddFile()) { os.SetStd(STD_OUTPUT_HANDLE, file); }

  std::vector<std::string>& writes() { return os.device(file).byte_writes; }
  std::deque<DeviceStep>& script() { return os.device(file).write_script; }

  FakeSystem os;
  Handle file;
  ConsoleWriter writer{os};
};

// --- Line buffering ----------------------------------------------------------

TEST_F(ConsoleWriterTest, ToolFailedVerdictReachesAFileInThreeWrites) {
  writer.Print({"\n    ", kToolFailed, "!\n\n    ", kReinstall, "!\n"});
  const std::string expected = "\n    " + std::string(kToolFailed) + "!\n\n    " + std::string(kReinstall) + "!\n";
  EXPECT_EQ(Sizes(writes()), (std::vector<std::size_t>{1, 120, 93}));
  EXPECT_EQ(writes()[0], "\n");
  EXPECT_EQ(os.device(file).bytes, expected);
  EXPECT_EQ(os.device(file).bytes.find('\r'), std::string::npos);
  EXPECT_EQ(writer.buffered(), "");
}

TEST_F(ConsoleWriterTest, ToolFailedVerdictReachesAConsoleInThreeWrites) {
  const Handle console = os.AddConsole();
  os.SetStd(STD_OUTPUT_HANDLE, console);
  writer.Print({"\n    ", kToolFailed, "!\n\n    ", kReinstall, "!\n"});
  const auto& console_writes = os.device(console).console_writes;
  ASSERT_EQ(console_writes.size(), 3u);
  EXPECT_EQ(console_writes[0], u"\n");
  EXPECT_EQ(console_writes[1], Widen("    " + std::string(kToolFailed) + "!\n\n"));
  EXPECT_EQ(console_writes[2], Widen("    " + std::string(kReinstall) + "!\n"));
}

// What the program prints goes to a console that takes only part of each
// write, cut right after U+0080, U+07FF and U+0800 (the last or first
// character of a UTF-8 width): the screen holds every character once.
TEST_F(ConsoleWriterTest, PartialConsoleTakesAtWidthStepsShowEveryCharacterOnce) {
  // "Ж", U+0080, U+07FF, U+0800 and a line end, then the same again in the
  // second line, held in the buffer until the flush.
  const std::string line = "\xD0\x96\xC2\x80\xDF\xBF\xE0\xA0\x80\n";
  const std::vector<std::vector<std::size_t>> scripts = {
      {2, 1, 1}, {3, 1}, {4}, {1, 1, 1, 1, 2, 1, 1}, {2, 3, 2},
  };
  for (const auto& takes : scripts) {
    FakeSystem fresh;
    const Handle console = fresh.AddConsole();
    fresh.SetStd(STD_OUTPUT_HANDLE, console);
    for (std::size_t units : takes) fresh.device(console).write_script.push_back(DeviceStep::Take(units));
    ConsoleWriter fresh_writer(fresh);
    fresh_writer.Print({line, line.substr(0, line.size() - 1)});
    ASSERT_TRUE(fresh_writer.Flush().ok());
    EXPECT_EQ(fresh.device(console).screen, Widen(line + line.substr(0, line.size() - 1)))
        << "takes starting with " << takes[0] << ", " << takes.size() << " scripted";
    EXPECT_EQ(fresh_writer.buffered(), "");
  }
}

TEST_F(ConsoleWriterTest, BufferBoundaries) {
  struct Case {
    const char* name;
    std::size_t buffered_before;  // bytes without line feed already held
    std::size_t piece;            // bytes of a piece without line feed
    std::vector<std::size_t> writes;
    std::size_t buffered_after;
  };
  const std::vector<Case> cases = {
      {"1024 into an empty buffer goes straight out", 0, 1024, {1024}, 0},
      {"1023 into an empty buffer is held", 0, 1023, {}, 1023},
      {"longer than the buffer goes straight out", 0, 5000, {5000}, 0},
      {"shorter than the room is appended", 10, 1013, {}, 1023},
      {"exactly the room fills the buffer", 10, 1014, {}, 1024},
      {"one more than the room flushes first", 10, 1015, {10}, 1015},
      {"1024 after held bytes: flush, then straight out", 10, 1024, {10, 1024}, 0},
      {"a byte after a full buffer", 1024, 1, {1024}, 1},
      {"empty piece after a full buffer", 1024, 0, {}, 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem fresh;
    const Handle h = fresh.AddFile();
    fresh.SetStd(STD_OUTPUT_HANDLE, h);
    ConsoleWriter w(fresh);
    const std::string before(c.buffered_before, 'b');
    const std::string piece(c.piece, 'p');
    // A held buffer of 1024 bytes needs two pieces: one of 1024 would go
    // straight out.
    if (c.buffered_before == 1024) {
      ASSERT_TRUE(w.WriteAll(before.substr(0, 1000)).ok());
      ASSERT_TRUE(w.WriteAll(before.substr(1000)).ok());
    } else {
      ASSERT_TRUE(w.WriteAll(before).ok());
    }
    ASSERT_TRUE(fresh.device(h).byte_writes.empty());
    ASSERT_TRUE(w.WriteAll(piece).ok());
    EXPECT_EQ(Sizes(fresh.device(h).byte_writes), c.writes);
    EXPECT_EQ(w.buffered().size(), c.buffered_after);
    ASSERT_TRUE(w.Flush().ok());
    EXPECT_EQ(fresh.device(h).bytes, before + piece);
  }
}

TEST_F(ConsoleWriterTest, PieceWithoutLineFeedWaitsForTheNextLineFeed) {
  ASSERT_TRUE(writer.WriteAll("abc").ok());
  EXPECT_EQ(os.count("NtWriteFile"), 0u);
  EXPECT_EQ(writer.buffered(), "abc");
  ASSERT_TRUE(writer.WriteAll("def\nghi").ok());
  EXPECT_EQ(writes(), (std::vector<std::string>{"abcdef\n"}));
  EXPECT_EQ(writer.buffered(), "ghi");
}

TEST_F(ConsoleWriterTest, PieceWithoutLineFeedWaitsForFlush) {
  ASSERT_TRUE(writer.WriteAll("abc").ok());
  ASSERT_TRUE(writer.Flush().ok());
  EXPECT_EQ(writes(), (std::vector<std::string>{"abc"}));
  EXPECT_EQ(writer.buffered(), "");
  // Nothing to send: no device call at all.
  ASSERT_TRUE(writer.Flush().ok());
  EXPECT_EQ(os.count("GetStdHandle"), 1u);
}

TEST_F(ConsoleWriterTest, LineFeedPieceIntoAnEmptyBufferGoesStraightOutWithAllItsLines) {
  ASSERT_TRUE(writer.WriteAll("one\ntwo\nthree").ok());
  EXPECT_EQ(writes(), (std::vector<std::string>{"one\ntwo\n"}));
  EXPECT_EQ(writer.buffered(), "three");
}

TEST_F(ConsoleWriterTest, LongLineAfterHeldBytesIsSplitAtTheBuffer) {
  ASSERT_TRUE(writer.WriteAll("abc").ok());
  const std::string line = std::string(2000, 'x') + "\n";
  ASSERT_TRUE(writer.WriteAll(line).ok());
  EXPECT_EQ(Sizes(writes()), (std::vector<std::size_t>{3, 2001}));
  EXPECT_EQ(os.device(file).bytes, "abc" + line);
}

TEST_F(ConsoleWriterTest, MessageLinesThatFitGoOutInOneWriteEach) {
  writer.Print({"\n\n    1й из 2х этапов: `", "DISM /Online /Cleanup-image /Restorehealth", "`\n\n    ",
                "Если кликнул в окно и всё зависло или пишет \"Выбор\" - нажми ESC!", "\n\n"});
  // Every line boundary coincides with a write boundary or lies inside a
  // write: no line is split.
  std::size_t at = 0;
  for (const auto& w : writes()) {
    at += w.size();
    EXPECT_EQ(os.device(file).bytes[at - 1], '\n');
  }
  EXPECT_EQ(writes().size(), 3u);
  EXPECT_EQ(writer.buffered(), "");
}

TEST_F(ConsoleWriterTest, CompletedLineLeftAtTheBufferEndGoesOutBeforeTheNextPiece) {
  // A failed flush is the one way a buffer can end in a line feed.
  ASSERT_TRUE(writer.WriteAll("ab").ok());
  script().push_back(DeviceStep::Status(STATUS_PIPE_BROKEN));
  ASSERT_FALSE(writer.WriteAll("c\n").ok());
  EXPECT_EQ(writer.buffered(), "abc\n");
  ASSERT_TRUE(writer.WriteAll("x").ok());
  EXPECT_EQ(writes(), (std::vector<std::string>{"abc\n"}));
  EXPECT_EQ(writer.buffered(), "x");
}

// --- Flush failures ------------------------------------------------------------

TEST_F(ConsoleWriterTest, FailedFlushKeepsExactlyTheUnsentBytes) {
  struct Case {
    const char* name;
    std::vector<DeviceStep> steps;
    std::optional<std::int32_t> code;  // else the buffered-data message
    std::string kept;
  };
  const std::vector<Case> cases = {
      {"broken pipe after a partial take",
       {DeviceStep::Take(4), DeviceStep::Status(STATUS_PIPE_BROKEN)},
       109,
       "o world"},
      {"broken pipe at once", {DeviceStep::Status(STATUS_PIPE_BROKEN)}, 109, "hello world"},
      {"device takes nothing after a partial take",
       {DeviceStep::Take(4), DeviceStep::Take(0)},
       std::nullopt,
       "o world"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem fresh;
    const Handle h = fresh.AddFile();
    fresh.SetStd(STD_OUTPUT_HANDLE, h);
    ConsoleWriter w(fresh);
    ASSERT_TRUE(w.WriteAll("hello world").ok());
    for (const auto& step : c.steps) fresh.device(h).write_script.push_back(step);
    Status s = w.Flush();
    ASSERT_FALSE(s.ok());
    if (c.code) {
      ExpectOsCode(s.error(), *c.code);
    } else {
      ExpectFixed(s.error(), fixed::kWriteBufferedData);
      EXPECT_EQ(s.error().fixed().text, "failed to write the buffered data");
    }
    EXPECT_EQ(w.buffered(), c.kept);
    // The next flush sends the rest, and nothing twice.
    ASSERT_TRUE(w.Flush().ok());
    EXPECT_EQ(fresh.device(h).bytes, "hello world");
  }
}

TEST_F(ConsoleWriterTest, WriteZeroMessageDependsOnWhichWriteFoundIt) {
  struct Case {
    const char* name;
    const char* held;  // bytes held before the piece
    const FixedRecord* record;
  };
  const Case cases[] = {
      {"line straight from an empty buffer", "", &fixed::kWriteWholeBuffer},
      {"line flushed from the buffer", "held ", &fixed::kWriteBufferedData},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem fresh;
    const Handle h = fresh.AddFile();
    fresh.SetStd(STD_OUTPUT_HANDLE, h);
    ConsoleWriter w(fresh);
    ASSERT_TRUE(w.WriteAll(c.held).ok());
    fresh.device(h).write_script.push_back(DeviceStep::Take(0));
    Status s = w.WriteAll("line\nrest");
    ASSERT_FALSE(s.ok());
    ExpectFixed(s.error(), *c.record);
    EXPECT_EQ(KindOf(s.error()), ErrorKind::WriteZero);
    // The tail after the line is not taken once the line failed.
    EXPECT_EQ(w.buffered().find("rest"), std::string_view::npos);
  }
}

TEST_F(ConsoleWriterTest, InvalidHandleDuringFlushCountsAsSent) {
  ASSERT_TRUE(writer.WriteAll("hello").ok());
  script().push_back(DeviceStep::Fail(0));
  ASSERT_TRUE(writer.Flush().ok());
  EXPECT_EQ(writer.buffered(), "");
  EXPECT_EQ(os.count("NtWriteFile"), 1u);
}

// --- Missing and broken standard output ---------------------------------------

TEST_F(ConsoleWriterTest, MissingStandardOutputDropsEverythingSilently) {
  FakeSystem fresh;
  ConsoleWriter w(fresh);
  w.Print({"\n    ", kToolFailed, "!\n\n    ", kReinstall, "!\n"});
  w.Print({std::string(3000, 'x'), "\n"});
  EXPECT_EQ(w.buffered(), "");
  ASSERT_TRUE(w.WriteAll("tail").ok());
  ASSERT_TRUE(w.Flush().ok());
  EXPECT_EQ(w.buffered(), "");
  EXPECT_EQ(fresh.count("FatalStop"), 0u);
}

class StdHandleErrorSystem : public FakeSystem {
 public:
  explicit StdHandleErrorSystem(Dword error) : error_(error) {}
  Handle GetStdHandle(Dword which) override {
    Handle h = FakeSystem::GetStdHandle(which);
    SetLastError(error_);
    return h;
  }

 private:
  Dword error_;
};

TEST_F(ConsoleWriterTest, InvalidHandleValueIsDroppedOnlyWithCode6) {
  StdHandleErrorSystem code6(ERROR_INVALID_HANDLE);
  code6.SetStd(STD_OUTPUT_HANDLE, InvalidHandleValue());
  ConsoleWriter quiet(code6);
  quiet.Print({"abc\n"});
  EXPECT_EQ(quiet.buffered(), "");

  StdHandleErrorSystem denied(ERROR_ACCESS_DENIED);
  denied.SetStd(STD_OUTPUT_HANDLE, InvalidHandleValue());
  ConsoleWriter loud(denied);
  EXPECT_THROW(loud.Print({"abc\n"}), FatalStopped);
  Status s = loud.WriteAll("abc\n");
  ASSERT_FALSE(s.ok());
  ExpectOsCode(s.error(), 5);
}

TEST_F(ConsoleWriterTest, WriteAllAndFlushReturnFailuresInsteadOfStopping) {
  script().push_back(DeviceStep::Status(STATUS_PIPE_BROKEN));
  Status s = writer.WriteAll("line\n");
  ASSERT_FALSE(s.ok());
  ExpectOsCode(s.error(), 109);
  ASSERT_TRUE(writer.WriteAll("held").ok());
  script().push_back(DeviceStep::Status(STATUS_PIPE_BROKEN));
  Status f = writer.Flush();
  ASSERT_FALSE(f.ok());
  ExpectOsCode(f.error(), 109);
  EXPECT_EQ(os.count("FatalStop"), 0u);
  EXPECT_EQ(writer.lock().count(), 0u);
}

// Notes how the writer's lock stands at the moment of a fatal stop.
class StopWatchingSystem : public FakeSystem {
 public:
  [[noreturn]] void FatalStop() override {
    if (writer != nullptr) lock_count_at_stop = writer->lock().count();
    FakeSystem::FatalStop();
  }
  ConsoleWriter* writer = nullptr;
  std::optional<std::uint32_t> lock_count_at_stop;
};

// A print, plain or composed, whose second write fails: nothing after the
// failing piece is written, and the fatal stop comes after the lock is
// released, so another thread can take it at once.
TEST(ConsoleWriterPrintTest, FailedPrintStopsAtTheFailingPieceAfterReleasingTheLock) {
  struct Case {
    const char* name;
    // Sends "a\n", "b\n", "c\n"; a composed message notes what each Append answered.
    void (*print)(ConsoleWriter& writer, std::vector<bool>& appended);
    std::vector<bool> appended;
  };
  const Case cases[] = {
      {"Print",
       [](ConsoleWriter& writer, std::vector<bool>&) {
         writer.Print({"a\n", "b\n", "c\n"});
       },
       {}},
      {"PrintComposed",
       [](ConsoleWriter& writer, std::vector<bool>& appended) {
         writer.PrintComposed([&](TextSink& sink) {
           for (std::string_view piece : {"a\n", "b\n", "c\n"}) appended.push_back(sink.Append(piece));
         });
       },
       {true, false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StopWatchingSystem os;
    const Handle file = os.AddFile();
    os.SetStd(STD_OUTPUT_HANDLE, file);
    ConsoleWriter writer(os);
    os.writer = &writer;
    os.device(file).write_script.push_back(DeviceStep::Take(static_cast<std::size_t>(-1)));
    os.device(file).write_script.push_back(DeviceStep::Status(STATUS_PIPE_BROKEN));
    std::vector<bool> appended;
    EXPECT_THROW(c.print(writer, appended), FatalStopped);
    EXPECT_EQ(appended, c.appended);
    EXPECT_EQ(os.device(file).bytes, "a\n");
    EXPECT_EQ(os.count("NtWriteFile"), 2u);
    EXPECT_EQ(os.lock_count_at_stop, std::optional<std::uint32_t>(0));
    std::thread other([&] { writer.Print({"d\n"}); });
    other.join();
    EXPECT_EQ(os.device(file).bytes, "a\nd\n");
  }
}

TEST_F(ConsoleWriterTest, ComposedMessageIsOneLineBufferedMessage) {
  writer.PrintComposed([](TextSink& sink) {
    EXPECT_TRUE(sink.Append("\n    Не удалось запустить:\n"));
    EXPECT_TRUE(sink.Append("The system cannot find"));
    EXPECT_TRUE(sink.Append(" the file specified. (os error 2)"));
    EXPECT_TRUE(sink.Append("\n\n    "));
    EXPECT_TRUE(sink.Append("!\n"));
  });
  EXPECT_EQ(writes(),
            (std::vector<std::string>{"\n    Не удалось запустить:\n",
                                      "The system cannot find the file specified. (os error 2)\n\n", "    !\n"}));
}

// --- Locking -------------------------------------------------------------------

TEST_F(ConsoleWriterTest, OwnerMayNestTheLock) {
  writer.lock().Lock(os);
  writer.Print({"inside\n"});
  ASSERT_TRUE(writer.WriteAll("more\n").ok());
  EXPECT_EQ(writer.lock().count(), 1u);
  writer.lock().Unlock(os);
  EXPECT_EQ(writer.lock().count(), 0u);
  EXPECT_EQ(os.device(file).bytes, "inside\nmore\n");
}

TEST_F(ConsoleWriterTest, ComposerMayWriteBetweenPieces) {
  writer.PrintComposed([&](TextSink& sink) {
    sink.Append("a");
    EXPECT_TRUE(writer.WriteAll("b").ok());
    sink.Append("c\n");
  });
  EXPECT_EQ(os.device(file).bytes, "abc\n");
}

// A device that writes back into the writer while its write is under way.
class ReenteringSystem : public FakeSystem {
 public:
  NtStatus NtWriteFile(Handle file, IoStatusBlock* block, const void* data, Dword length) override {
    if (writer != nullptr && !reentered) {
      reentered = true;
      (void)writer->WriteAll("again\n");
    }
    return FakeSystem::NtWriteFile(file, block, data, length);
  }
  ConsoleWriter* writer = nullptr;
  bool reentered = false;
};

TEST_F(ConsoleWriterTest, OwnerReenteringTheBufferDuringAWriteIsFatal) {
  struct Case {
    const char* name;
    bool flush;
  };
  for (const Case& c : {Case{"from a print", false}, Case{"from a flush", true}}) {
    SCOPED_TRACE(c.name);
    ReenteringSystem fresh;
    fresh.SetStd(STD_OUTPUT_HANDLE, fresh.AddFile());
    ConsoleWriter w(fresh);
    ASSERT_TRUE(w.WriteAll("held").ok());
    fresh.writer = &w;
    if (c.flush) {
      EXPECT_THROW((void)w.Flush(), FatalStopped);
    } else {
      EXPECT_THROW(w.Print({"line\n"}), FatalStopped);
    }
    EXPECT_EQ(w.lock().count(), 0u);
    fresh.writer = nullptr;
    // The writer is usable again once the stop has unwound.
    ASSERT_TRUE(w.WriteAll("x\n").ok());
  }
}

// Gives the other thread a chance at every lock attempt and every device
// write, so that a message not held under one lock would be cut into.
class YieldingSystem : public FakeSystem {
 public:
  Dword GetCurrentThreadId() override {
    std::this_thread::sleep_for(std::chrono::microseconds(20));
    return FakeSystem::GetCurrentThreadId();
  }
  NtStatus NtWriteFile(Handle file, IoStatusBlock* block, const void* data, Dword length) override {
    std::this_thread::yield();
    return FakeSystem::NtWriteFile(file, block, data, length);
  }
};

TEST(ConsoleWriterThreadTest, MessagesFromTwoThreadsNeverInterleave) {
  YieldingSystem os;
  const Handle file = os.AddFile();
  os.SetStd(STD_OUTPUT_HANDLE, file);
  ConsoleWriter writer(os);
  constexpr int kMessages = 60;
  auto message = [](char who, int n) {
    // Longer than the buffer and with several lines, so one message takes
    // several device writes.
    std::string first = std::string("[") + who + std::to_string(n) + "] " + std::string(700, who) + "\n";
    std::string second = std::string(500, who) + "|";
    std::string third = std::string(300, who) + "\n";
    return std::vector<std::string>{first, second, third};
  };
  std::atomic<bool> go{false};
  auto run = [&](char who) {
    while (!go.load()) std::this_thread::yield();
    for (int n = 0; n < kMessages; ++n) {
      const auto pieces = message(who, n);
      writer.Print({pieces[0], pieces[1], pieces[2]});
    }
  };
  std::thread a(run, 'A');
  std::thread b(run, 'B');
  go.store(true);
  a.join();
  b.join();

  const std::string& out = os.device(file).bytes;
  int next_a = 0, next_b = 0;
  std::size_t at = 0;
  while (at < out.size()) {
    const char who = out[at + 1];
    ASSERT_TRUE(who == 'A' || who == 'B') << at;
    int& next = who == 'A' ? next_a : next_b;
    const auto pieces = message(who, next);
    const std::string whole = pieces[0] + pieces[1] + pieces[2];
    ASSERT_EQ(out.compare(at, whole.size(), whole), 0) << "message " << who << next << " at " << at;
    at += whole.size();
    ++next;
  }
  EXPECT_EQ(next_a, kMessages);
  EXPECT_EQ(next_b, kMessages);
  EXPECT_GT(os.device(file).byte_writes.size(), static_cast<std::size_t>(2 * kMessages));
}

// --- The process-wide writer -------------------------------------------------------

TEST(StandardOutputTest, OneWriterForEveryCallerAndThread) {
  // Lives as long as the process-wide writer may refer to it.
  static FakeSystem* const process_os = new FakeSystem;
  std::vector<ConsoleWriter*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = &StandardOutput(*process_os); });
  }
  for (auto& t : threads) t.join();
  for (ConsoleWriter* w : seen) EXPECT_EQ(w, seen[0]);
  EXPECT_EQ(&StandardOutput(*process_os), seen[0]);
}

}  // namespace
}  // namespace wr
