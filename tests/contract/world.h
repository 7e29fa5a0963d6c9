// The world a contract case runs in, built the same way for every
// implementation of System: the fake builds it in its tables, the real one
// on disk, in pipes, processes and the environment of a scratch directory.
//
// Every case in this folder is written once against System and runs against
// both; where the real system under Wine answers otherwise than Windows is
// documented to, the case says so through KnownWineDifference.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system.h"
#include "tests/contract/no_console.h"

namespace wr::contract {

struct PipeEnds {
  Handle read = nullptr;
  Handle write = nullptr;
};

// What the companion child does when started with `child_command(...)`.
enum class ChildAct {
  Exit,            // ends with the given code
  Sleep,           // runs until ended by EndChild
  CountInherited,  // ends with the number of the two given handles it holds as pipes
};

class World {
 public:
  virtual ~World() = default;
  virtual System& os() = 0;
  // The real system under Wine; false on Windows and for the fake.
  virtual bool wine() const = 0;

  // The case's own directory: absolute, no trailing separator, and the
  // current directory while the case runs.
  virtual std::u16string scratch() const = 0;
  virtual void SetEnv(std::u16string_view name, std::u16string_view value) = 0;
  virtual void UnsetEnv(std::u16string_view name) = 0;
  // Names relative to the scratch directory.
  virtual void MakeFile(std::u16string_view name, std::string_view bytes) = 0;
  virtual void MakeDirectory(std::u16string_view name) = 0;
  // A synchronous handle that reads the file, owned by the case.
  virtual Handle OpenForReading(std::u16string_view name) = 0;
  // An anonymous-style byte pipe, both ends synchronous, or (overlapped)
  // a pipe whose writing end is overlapped and holds `capacity` bytes.
  virtual PipeEnds MakePipe() = 0;
  virtual PipeEnds MakeOverlappedPipe(Dword capacity) = 0;
  // Takes bytes from the reading end, as the other side of a pipe would.
  virtual std::string Drain(Handle read, std::size_t count) = 0;

  // The companion program: its full path and the command line for an act.
  virtual std::u16string child_program() const = 0;
  std::u16string child_command(ChildAct act, Dword code = 0, Handle a = nullptr, Handle b = nullptr) const;
  virtual void EndChild(Handle process) = 0;

  // Whether this process has a console to ask (the fake always has one).
  virtual bool HasConsole() = 0;
  // The console's screen buffer and input (CONOUT$, CONIN$); cases of the
  // RealConsole family only, which run where a console exists.
  virtual Handle OpenConsoleOutput() = 0;
  virtual Handle OpenConsoleInput() = 0;
  // Puts keys into the console's input as if typed: '\r' is Enter, U+001A
  // Ctrl+Z.
  virtual void Type(Handle input, std::u16string_view keys) = 0;
  // The console window's title as GetConsoleTitleW reports it.
  virtual std::u16string ConsoleTitle() = 0;

  // From now on, notes the size field (cb) of every start-up block this
  // process hands to the system's CreateProcessW, read where the call leaves
  // the program, so after System's own translation; StartupSizesSeen gives
  // them in order. Real system only: the fake is handed no such block.
  virtual void WatchStartupSizes() = 0;
  virtual std::vector<Dword> StartupSizesSeen() = 0;

  // AskWithoutConsole answered in a process without a console.
  virtual Dword RunWithoutConsole() = 0;
};

std::unique_ptr<World> MakeWorld();

// True when this case's checked answer is one Wine gives otherwise than
// Windows is documented to: the run prints the difference and its source
// and checks Wine's own answer instead. Never true for the fake or Windows.
bool KnownWineDifference(World& world, const char* what, const char* documented);

// Each case starts from a fresh world, torn down after it.
class Contract : public ::testing::Test {
 protected:
  void SetUp() override { world_ = MakeWorld(); }
  void TearDown() override { world_.reset(); }
  World& world() { return *world_; }
  System& os() { return world_->os(); }

 private:
  std::unique_ptr<World> world_;
};

}  // namespace wr::contract
