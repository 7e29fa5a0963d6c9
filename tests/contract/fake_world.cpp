// The contract's world in the fake's tables. The companion child is modelled
// here by what its command line asks, as the real one does it.
#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/contract/world.h"
#include "tests/unit/fake/fake_system.h"

namespace wr::contract {
namespace {

using testing::FakeSystem;

constexpr Dword kAttributeDirectory = 0x10;
constexpr Dword kAttributeArchive = 0x20;
const std::u16string kScratch = u"C:\\Users\\tester\\AppData\\Local\\Temp\\wr-contract";
const std::u16string kChild = u"C:\\kit\\contract_child.exe";

// The companion program: "exit <code>", "sleep", "count <a> <b>".
class WorldSystem : public FakeSystem {
 public:
  bool CreateProcessW(const char16_t* application, char16_t* commandLine, bool inheritHandles, Dword creationFlags,
                      void* environment, const char16_t* directory, const StartupInfo* startup,
                      ProcessInformation* information) override {
    if (!FakeSystem::CreateProcessW(application, commandLine, inheritHandles, creationFlags, environment, directory,
                                    startup, information)) {
      return false;
    }
    const std::u16string line = commandLine;
    const std::size_t act_at = line.find(u"\" ") + 2;
    const std::u16string act = line.substr(act_at, line.find(u' ', act_at) - act_at);
    auto number = [&](std::size_t index) {
      std::size_t at = act_at;
      for (std::size_t i = 0; i <= index; ++i) at = line.find(u' ', at) + 1;
      return static_cast<std::uintptr_t>(std::stoull(testing::Narrow(line.substr(at)), nullptr, 16));
    };
    if (act == u"exit") {
      EndProcess(information->hProcess, static_cast<Dword>(number(0)));
    } else if (act == u"sleep") {
      running_processes.insert(information->hProcess);
    } else if (act == u"count") {
      const auto& inherited = launches.back().inherited;
      Dword count = 0;
      for (std::size_t i = 0; i < 2; ++i) {
        const Handle h = reinterpret_cast<Handle>(number(i));
        if (std::find(inherited.begin(), inherited.end(), h) != inherited.end() && devices.count(h) != 0 &&
            devices[h].pipe) {
          ++count;
        }
      }
      EndProcess(information->hProcess, count);
    }
    return true;
  }
};

class FakeWorld : public World {
 public:
  FakeWorld() {
    // Attached to a console, as HasConsole says: its screen buffer is
    // standard output.
    fake_.SetStd(STD_OUTPUT_HANDLE, fake_.AddConsole(0x3));
    fake_.current_directory = kScratch;
    fake_.files[kScratch] = kAttributeDirectory;
    fake_.files[kChild] = kAttributeArchive;
    // English system texts, as Windows has them.
    fake_.system_messages = {
        {2, u"The system cannot find the file specified.\r\n"},
        {5, u"Access is denied.\r\n"},
        {109, u"The pipe has been ended.\r\n"},
        {193, u"%1 is not a valid Win32 application.\r\n"},
        {1113, u"No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    };
    fake_.ntdll_messages = {
        {0xC0000022u,
         u"{Access Denied}\r\nA process has requested access to an object, but has not been granted "
         u"those access rights.\r\n"},
    };
  }

  System& os() override { return fake_; }
  bool wine() const override { return false; }
  std::u16string scratch() const override { return kScratch; }

  void SetEnv(std::u16string_view name, std::u16string_view value) override {
    UnsetEnv(name);
    fake_.environment[std::u16string(name)] = std::u16string(value);
  }
  void UnsetEnv(std::u16string_view name) override {
    for (auto it = fake_.environment.begin(); it != fake_.environment.end();) {
      it = testing::Upper(it->first) == testing::Upper(name) ? fake_.environment.erase(it) : std::next(it);
    }
  }

  void MakeFile(std::u16string_view name, std::string_view bytes) override {
    const std::u16string path = kScratch + u"\\" + std::u16string(name);
    fake_.files[path] = kAttributeArchive;
    if (!bytes.starts_with("MZ")) fake_.non_programs.insert(testing::Upper(path));
    contents_[testing::Upper(path)] = std::string(bytes);
  }
  void MakeDirectory(std::u16string_view name) override {
    fake_.files[kScratch + u"\\" + std::u16string(name)] = kAttributeDirectory;
  }
  Handle OpenForReading(std::u16string_view name) override {
    const Handle h = fake_.AddFile();
    fake_.device(h).input = contents_.at(testing::Upper(kScratch + u"\\" + std::u16string(name)));
    return h;
  }

  PipeEnds MakePipe() override {
    const testing::PipePair pair = fake_.AddPipePair();
    return {pair.read, pair.write};
  }
  PipeEnds MakeOverlappedPipe(Dword capacity) override {
    const testing::PipePair pair = fake_.AddPipePair(capacity, true);
    return {pair.read, pair.write};
  }
  std::string Drain(Handle read, std::size_t count) override {
    std::string out;
    while (out.size() < count) {
      char room[4096];
      IoStatusBlock block{};
      const Dword want = static_cast<Dword>(std::min<std::size_t>(sizeof room, count - out.size()));
      if (fake_.NtReadFile(read, &block, room, want) != STATUS_SUCCESS) break;
      out.append(room, block.Information);
    }
    return out;
  }

  std::u16string child_program() const override { return kChild; }
  void EndChild(Handle process) override { fake_.EndProcess(process, 1); }

  bool HasConsole() override { return true; }
  Handle OpenConsoleOutput() override { return fake_.AddConsole(0x3); }
  Handle OpenConsoleInput() override { return input_ != nullptr ? input_ : (input_ = fake_.AddConsole(0x1F7)); }
  // The lines a line-mode read hands out: up to and with Enter (read as CR
  // LF), or up to and with a wake-up character. Keys after the last of
  // those wait in the buffer as an unfinished line that later keys go on;
  // no case reads before finishing it.
  void Type(Handle input, std::u16string_view keys) override {
    std::deque<std::u16string>& lines = fake_.device(input).console_lines;
    std::u16string line;
    if (!lines.empty() && !Finished(lines.back())) {
      line = std::move(lines.back());
      lines.pop_back();
    }
    for (char16_t c : keys) {
      line += c;
      if (c == u'\r') line += u'\n';
      if (c == u'\r' || c == 0x1A) {
        lines.push_back(line);
        line.clear();
      }
    }
    if (!line.empty()) lines.push_back(line);
  }

  // What SetConsoleTitleW last set; the fake keeps the terminating zero it
  // was handed, GetConsoleTitleW does not report it.
  std::u16string ConsoleTitle() override {
    if (fake_.titles.empty()) return u"";
    const std::u16string& title = fake_.titles.back();
    return title.substr(0, title.find(u'\0'));
  }

  void WatchStartupSizes() override { ADD_FAILURE() << "the fake is handed no start-up block to measure"; }
  std::vector<Dword> StartupSizesSeen() override { return {}; }

  // A process started detached, with no console and no standard handles.
  Dword RunWithoutConsole() override {
    FakeSystem alone;
    return AskWithoutConsole(alone);
  }

 private:
  static bool Finished(const std::u16string& line) { return line.back() == u'\n' || line.back() == 0x1A; }

  WorldSystem fake_;
  std::map<std::u16string, std::string> contents_;
  Handle input_ = nullptr;
};

}  // namespace

std::unique_ptr<World> MakeWorld() { return std::make_unique<FakeWorld>(); }

}  // namespace wr::contract
