// The application object without a window: the command line, the load loop
// with a scripted prompt, the import, the autorun entry, the DNS-cache flush
// and a second copy's requests.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <chrono>
#include <future>
#include <thread>

#include "Quorvane/app/auto_run.h"
#include "Quorvane/app/command_line.h"
#include "Quorvane/app/dns_cache_flush.h"
#include "Quorvane/app/instance_channel.h"
#include "Quorvane/app/service_mode.h"
#include "Quorvane/config/hooks.h"
#include "Quorvane/platform/app_profile.h"
#include "tests/app/app_fixture.h"
#include "tests/support/log_capture.h"

namespace {

using testsupport::AppTest;
using testsupport::CScriptedPrompt;
using testsupport::ConfFile;
using testsupport::ReadBytes;
using testsupport::RuleLine;
using testsupport::ServerLine;
using testsupport::WriteBytes;

// The file queue's lines: the service drops screen lines.
std::vector<std::wstring> TakeFileLines() {
  std::list<SLogLine> lines;
  SwapLogQueue(lines, false);
  std::vector<std::wstring> texts;
  for (const SLogLine& line : lines) texts.push_back(line.text);
  return texts;
}

bool Contains(const std::vector<std::wstring>& lines, const std::wstring& part) {
  for (const auto& line : lines)
    if (line.find(part) != std::wstring::npos) return true;
  return false;
}

// --- command line -----------------------------------------------------------

struct CommandLineCase {
  const char* name;
  std::vector<std::string> args;
  ERunMode mode;
  const wchar_t* file;
};

class CommandLine : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLine, SwitchesAreWholeArgumentsAndABlankHidesThem) {
  const auto& c = GetParam();
  SAppCommandLine parsed = ParseAppCommandLine(c.args);
  EXPECT_EQ(parsed.runMode, c.mode);
  EXPECT_EQ(parsed.configFile, c.file);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandLine,
    ::testing::Values(
        CommandLineCase{"none", {}, RunModeNormal, L""},
        CommandLineCase{"show", {"/ShowWnd"}, RunModeShowWindow, L""},
        CommandLineCase{"force_exit", {"/ForceExit"}, RunModeForceExit, L""},
        CommandLineCase{"service", {"/ServiceMode"}, RunModeService, L""},
        CommandLineCase{"autorun", {"/AutoRun"}, RunModeAutoRun, L""},
        CommandLineCase{"switch_inside_a_path", {"/tmp/ShowWnd/ForceExit.xml"}, RunModeNormal, L"/tmp/ShowWnd/ForceExit.xml"},
        CommandLineCase{"file", {"/tmp/a.xml"}, RunModeNormal, L"/tmp/a.xml"},
        CommandLineCase{"path_with_blank_and_show", {"/ShowWnd", "/tmp/a b.xml"}, RunModeNormal, L"/tmp/a b.xml"},
        CommandLineCase{"one_argument_with_blank", {"/tmp/a b/ShowWnd"}, RunModeNormal, L"/tmp/a b/ShowWnd"},
        CommandLineCase{"silent_load", {"/tmp/a.xml", "/SilentLoad"}, RunModeSilentLoad, L"/tmp/a.xml"},
        CommandLineCase{"silent_load_alone", {"/SilentLoad"}, RunModeNormal, L""},
        CommandLineCase{"silent_load_first", {"/SilentLoad", "/tmp/a.xml"}, RunModeNormal, L"/tmp/a.xml"}),
    [](const auto& i) { return std::string(i.param.name); });

// --- start-up step 20 ------------------------------------------------------

TEST_F(AppTest, TheWizardIsOfferedOnceForAnEmptyConfigurationAndNeverToTheService) {
  struct Case {
    const char* name;
    ERunMode mode;
    bool withServer;
    int startWizard;  // -1: absent
    bool runs;
  } cases[] = {
      {"first_start", RunModeNormal, false, -1, true},
      {"offered_before", RunModeNormal, false, 1, false},
      {"configured", RunModeNormal, true, -1, false},
      {"service", RunModeService, false, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    theApp.SetRunModeForTesting(c.mode);
    CProfile profile;
    profile.ResetToDefault();
    if (c.withServer) profile.servers.emplace_back();
    CProfile::SetRunning(profile);
    // A profile of the case's own, in the test's XDG folder.
    platform::SetProfilePath(Folder() / (std::string(c.name) + ".ini"));
    if (c.startWizard >= 0) platform::WriteProfileInt(L"Settings", L"StartWizard", c.startWizard);
    int runs = 0;
    theApp.SetStartWizard([&] { ++runs; });
    theApp.RunStartWizardStep();
    EXPECT_EQ(runs, c.runs ? 1 : 0);
    EXPECT_EQ(platform::GetProfileInt(L"Settings", L"StartWizard", 0), 1);
    theApp.RunStartWizardStep();
    EXPECT_EQ(runs, c.runs ? 1 : 0) << "offered once only";
  }
  theApp.SetStartWizard(nullptr);
  platform::SetProfilePath({});
}

// --- load loop --------------------------------------------------------------

class LoadLoop : public AppTest {
 protected:
  LoadLoop() {
    theApp.SetRunModeForTesting(RunModeNormal);
    m_file = Folder() / "Configuration.xml";
    g_Configuration.path = Utf8ToWide(m_file.string());
  }
  std::filesystem::path m_file;
  const std::string m_saved = ConfFile(ServerLine(1001, "Saved", "127.0.0.1") + RuleLine("Default", 1001));
  testsupport::LogCapture m_log{LogNormal};
};

TEST_F(LoadLoop, MissingFileCreatesAndSavesTheDefaultWithoutAQuestion) {
  CScriptedPrompt prompt;
  ASSERT_TRUE(theApp.RunLoadLoop());
  EXPECT_TRUE(g_Configuration.IsDefault());
  EXPECT_TRUE(std::filesystem::exists(m_file));
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"A default configuration was created."));
}

TEST_F(LoadLoop, BrokenFileAsksToReset) {
  for (int answer : {IDYES, IDNO}) {
    SCOPED_TRACE(answer);
    WriteBytes(m_file, "<?xml version=\"1.0\"?><TarnwickProfile");
    CScriptedPrompt prompt;
    prompt.Answer(answer);
    EXPECT_EQ(theApp.RunLoadLoop(), answer == IDYES);
    ASSERT_EQ(prompt.boxes.size(), 1u);
    EXPECT_EQ(prompt.boxes[0].type, MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2);
    const std::wstring& text = prompt.boxes[0].text;
    EXPECT_EQ(text.rfind(L"Could not load configuration. ", 0), 0u) << WideToUtf8(text);
    EXPECT_NE(text.find(L"\n\nDo you want to reset to a default configuration?"), std::wstring::npos);
    // No keeps the broken file for the user to mend.
    EXPECT_EQ(ReadBytes(m_file) == "<?xml version=\"1.0\"?><TarnwickProfile", answer == IDNO);
  }
}

TEST_F(LoadLoop, AFolderAtThePathIsBrokenNotMissing) {
  std::filesystem::create_directory(m_file);
  CScriptedPrompt prompt;
  prompt.Answer(IDNO);
  EXPECT_FALSE(theApp.RunLoadLoop());
  ASSERT_EQ(prompt.boxes.size(), 1u);
  EXPECT_NE(prompt.boxes[0].text.find(L"reset to a default"), std::wstring::npos);
  EXPECT_TRUE(std::filesystem::is_directory(m_file));
}

TEST_F(LoadLoop, NewerFileIsAskedAboutOnce) {
  // Newer, and broken further on: the later failure asks to reset.
  WriteBytes(m_file, ConfFile(RuleLine("Default", 4242), "999999"));
  CScriptedPrompt prompt;
  prompt.Answer(IDYES);
  prompt.Answer(IDNO);
  EXPECT_FALSE(theApp.RunLoadLoop());
  ASSERT_EQ(prompt.boxes.size(), 2u);
  EXPECT_EQ(prompt.boxes[0].text.rfind(L"The conf-file was generated by a newer version", 0), 0u);
  EXPECT_NE(prompt.boxes[1].text.find(L"reset to a default"), std::wstring::npos);
}

TEST_F(LoadLoop, NewerFileLoadsAfterYes) {
  WriteBytes(m_file, ConfFile(ServerLine(1001, "Newer", "127.0.0.1") + RuleLine("Default", 1001), "999999"));
  CScriptedPrompt prompt;
  prompt.Answer(IDYES);
  ASSERT_TRUE(theApp.RunLoadLoop());
  ASSERT_EQ(g_Configuration.Servers().size(), 1u);
  EXPECT_EQ(g_Configuration.Servers()[0].name, L"Newer");
}

TEST_F(LoadLoop, MissingCommandLineFileOffersTheSavedOne) {
  WriteBytes(m_file, m_saved);
  theApp.SetConfigFromCommandLine(Utf8ToWide((Folder() / "absent.xml").string()));
  CScriptedPrompt prompt;
  prompt.Answer(IDYES);
  ASSERT_TRUE(theApp.RunLoadLoop());
  ASSERT_EQ(prompt.boxes.size(), 1u);
  EXPECT_NE(prompt.boxes[0].text.find(L"start with the saved configuration?"), std::wstring::npos);
  ASSERT_EQ(g_Configuration.Servers().size(), 1u);
  EXPECT_EQ(g_Configuration.Servers()[0].name, L"Saved");
  EXPECT_EQ(g_Configuration.path, Utf8ToWide(m_file.string()));
}

TEST_F(LoadLoop, ServiceModeAsksNobody) {
  theApp.SetRunModeForTesting(RunModeService);
  g_LogLevelFile = LogNormal;
  TakeFileLines();
  CScriptedPrompt prompt;  // any box fails the test
  WriteBytes(m_file, "not xml");
  EXPECT_FALSE(theApp.RunLoadLoop());
  EXPECT_TRUE(Contains(TakeFileLines(), L"Could not load configuration. "));
  EXPECT_EQ(ReadBytes(m_file), "not xml");
  std::filesystem::remove(m_file);
  EXPECT_TRUE(theApp.RunLoadLoop());
  EXPECT_TRUE(std::filesystem::exists(m_file));
  g_LogLevelFile = 0;
}

TEST_F(LoadLoop, ServiceModeLogsABoxAsOneLineAndAnswersNo) {
  theApp.SetRunModeForTesting(RunModeService);
  g_LogLevelFile = LogError;
  TakeFileLines();
  CScriptedPrompt prompt;
  EXPECT_EQ(AppMessageBox(L"First line\r\nsecond line\nthird", MB_YESNO), IDNO);
  EXPECT_EQ(TakeFileLines(), std::vector<std::wstring>{L"Service message: First line second line third"});
  g_LogLevelFile = 0;
}

// --- import -----------------------------------------------------------------

// Records each change with the running server list's size at that moment.
class CRecordingEngine : public CConfigEngineHooks {
 public:
  CRecordingEngine() { SetConfigEngineHooks(this); }
  ~CRecordingEngine() override { SetConfigEngineHooks(nullptr); }
  void OnServerChange(int kind, const CDnsServer& server, const CDnsServer&, bool) override {
    calls.push_back(std::to_string(kind) + ":" + std::to_string(server.id) + ":" + WideToUtf8(server.name) +
                    " running=" + WideToUtf8(g_Configuration.Servers().empty() ? L"" : g_Configuration.Servers()[0].name));
  }
  std::vector<std::string> calls;
};

class Import : public LoadLoop {};

TEST_F(Import, TellsTheEngineBeforeTheNewServersRun) {
  CProfile running;
  running.path = g_Configuration.path;
  running.servers.push_back(CDnsServer());
  running.servers[0].id = 1001;
  running.servers[0].name = L"Old";
  CProfile::SetRunning(running);
  const auto file = Folder() / "import.xml";
  WriteBytes(file, ConfFile(ServerLine(1001, "New", "127.0.0.2") + RuleLine("Default", 1001)));
  CRecordingEngine engine;
  CScriptedPrompt prompt;
  ASSERT_TRUE(ImportConfigurationFile(Utf8ToWide(file.string()), true));
  ASSERT_FALSE(engine.calls.empty());
  // The old server's state is dropped while the old list still runs.
  EXPECT_EQ(engine.calls[0], "1:1001:Old running=Old");
  EXPECT_EQ(g_Configuration.Servers()[0].name, L"New");
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"Configuration loaded from file "));
}

TEST_F(Import, AFailedImportNeverLowersTheIdCounter) {
  g_NextObjectId = 5000;
  const auto file = Folder() / "import.xml";
  // The servers read, then a rule names a server that does not exist.
  WriteBytes(file, ConfFile(ServerLine(1001, "A", "127.0.0.2") + RuleLine("Default", 4242)));
  CScriptedPrompt prompt;
  EXPECT_FALSE(ImportConfigurationFile(Utf8ToWide(file.string()), true));
  EXPECT_EQ(g_NextObjectId, 5000u);
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"Could not load conf-file: "));
}

TEST_F(Import, AskedBeforeAConfigurationIsOverwritten) {
  CProfile running;
  running.servers.push_back(CDnsServer());
  running.servers[0].id = 1001;
  CProfile::SetRunning(running);
  const auto file = Folder() / "import.xml";
  CScriptedPrompt prompt;
  prompt.Answer(IDNO);
  WriteBytes(file, ConfFile(""));
  EXPECT_FALSE(ImportConfigurationFile(Utf8ToWide(file.string()), false));
  ASSERT_EQ(prompt.boxes.size(), 1u);
  EXPECT_EQ(prompt.boxes[0].caption, L"Configuration Import");
  EXPECT_EQ(g_Configuration.Servers().size(), 1u);
}

TEST_F(Import, ABrokenFileShowsItsErrorUnlessSilent) {
  const auto file = Folder() / "import.xml";
  WriteBytes(file, "garbage");
  CScriptedPrompt prompt;
  prompt.Answer(IDOK);
  EXPECT_FALSE(ImportConfigurationFile(Utf8ToWide(file.string()), false));
  ASSERT_EQ(prompt.boxes.size(), 1u);
  EXPECT_EQ(prompt.boxes[0].caption, L"Conf-File Error");
  EXPECT_EQ(prompt.boxes[0].text.rfind(L"An error occurred while loading the configuration:\n", 0), 0u);
  EXPECT_FALSE(ImportConfigurationFile(Utf8ToWide(file.string()), true));  // no box
}

// --- autorun ----------------------------------------------------------------

class AutoRun : public AppTest {
 protected:
  AutoRun() : m_autoRun(L"Tarnwick", L"/AutoRun") {
    m_autoRun.SetProgramForTesting("/usr/lib/tarnwick/tarnwick");
    m_entry = *m_autoRun.EntryPath();
  }
  void WriteEntry(const std::string& exec) {
    std::filesystem::create_directories(m_entry.parent_path());
    WriteBytes(m_entry, "[Desktop Entry]\nType=Application\nName=Tarnwick\n" + exec);
  }
  CAutoRun m_autoRun;
  std::filesystem::path m_entry;
};

TEST_F(AutoRun, QueryTable) {
  struct Case {
    const char* name;
    std::optional<std::string> entry;  // none: no file
    bool exists, equal;
  } cases[] = {
      {"no_file", std::nullopt, false, false},
      {"ours", "Exec=\"/usr/lib/tarnwick/tarnwick\" \"/AutoRun\"\n", true, true},
      {"ours_unquoted", "Exec=/usr/lib/tarnwick/tarnwick /AutoRun\n", true, true},
      {"another_copy", "Exec=\"/opt/tarnwick/tarnwick\" /AutoRun\n", true, false},
      {"no_argument", "Exec=/usr/lib/tarnwick/tarnwick\n", true, false},
      {"no_exec", "Comment=nothing\n", true, false},
      {"broken_quote", "Exec=\"/usr/lib/tarnwick/tarnwick /AutoRun\n", true, false},
      {"too_long", "Exec=/usr/lib/tarnwick/tarnwick /AutoRun" + std::string(260, ' ') + "\n", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(m_entry);
    if (c.entry) WriteEntry(*c.entry);
    bool exists = true, equal = true;
    ASSERT_TRUE(m_autoRun.Query(exists, equal)) << WideToUtf8(m_autoRun.TakeLastError());
    EXPECT_EQ(exists, c.exists);
    EXPECT_EQ(equal, c.equal);
  }
}

TEST_F(AutoRun, QuotingRoundTripsEveryCharacterTheSpecificationEscapes) {
  m_autoRun.SetProgramForTesting("/opt/my dir/t$a`r\"n\\wick");
  ASSERT_TRUE(m_autoRun.Set(true));
  bool exists = false, equal = false;
  ASSERT_TRUE(m_autoRun.Query(exists, equal));
  EXPECT_TRUE(exists && equal) << ReadBytes(m_entry);
  EXPECT_EQ(SplitExecLine("\"/opt/my dir/t\\$a\\`r\\\"n\\\\wick\" \"/AutoRun\""),
            (std::vector<std::string>{"/opt/my dir/t$a`r\"n\\wick", "/AutoRun"}));
  ASSERT_TRUE(m_autoRun.Set(false));
  EXPECT_FALSE(std::filesystem::exists(m_entry));
}

TEST_F(AutoRun, StartRewritesAnotherCopysEntryAndCreatesNone) {
  theApp.AutoRun().SetProgramForTesting("/usr/lib/tarnwick/tarnwick");
  EXPECT_FALSE(theApp.UpdateAutoRun(true));
  EXPECT_FALSE(std::filesystem::exists(m_entry));
  WriteEntry("Exec=\"/opt/tarnwick/tarnwick\" /AutoRun\n");
  EXPECT_TRUE(theApp.UpdateAutoRun(true));
  bool exists = false, equal = false;
  ASSERT_TRUE(m_autoRun.Query(exists, equal));
  EXPECT_TRUE(equal) << ReadBytes(m_entry);
}

TEST_F(AutoRun, UnwritableAutostartIsReportedNotLost) {
  // A regular file where the folder should be: ENOTDIR even for root.
  WriteBytes(Folder() / "config" / "autostart", "a file");
  bool exists = true, equal = true;
  EXPECT_FALSE(m_autoRun.Query(exists, equal));
  EXPECT_FALSE(exists);
  EXPECT_EQ(m_autoRun.TakeLastError(), L"RegCreateKeyEx failed with error 20");
  EXPECT_FALSE(m_autoRun.Set(true));
  EXPECT_EQ(m_autoRun.TakeLastError().rfind(L"RegCreateKeyEx failed with error ", 0), 0u);
  EXPECT_EQ(ReadBytes(Folder() / "config" / "autostart"), "a file");
}

TEST_F(AutoRun, AFailedRewriteAtStartSaysWhy) {
  theApp.AutoRun().SetProgramForTesting("/usr/lib/tarnwick/tarnwick");
  WriteEntry("Exec=\"/opt/tarnwick/tarnwick\" /AutoRun\n");
  // The rewrite's temporary file cannot be made: a folder stands there.
  std::filesystem::create_directory(m_entry.string() + ".tmp");
  CScriptedPrompt prompt;
  prompt.Answer(IDOK);
  EXPECT_TRUE(theApp.UpdateAutoRun(true));
  ASSERT_EQ(prompt.boxes.size(), 1u);
  EXPECT_EQ(prompt.boxes[0].text.rfind(L"Cannot update Tarnwick autorun record in the system registry.\nError: "
                                       L"SetStringValue failed with error ", 0), 0u);
}

// --- DNS-cache flush --------------------------------------------------------

class Flush : public AppTest {
 protected:
  Flush() {
    m_bin = Folder() / "bin";
    std::filesystem::create_directory(m_bin);
    Env().Set("PATH", m_bin.string());
    ResetFlushErrorLoggedForTesting();
  }
  ~Flush() override { ResetFlushErrorLoggedForTesting(); }
  void FakeResolvectl(const std::string& body) {
    WriteBytes(m_bin / "resolvectl", "#!/bin/sh\n" + body + "\n");
    chmod((m_bin / "resolvectl").c_str(), 0755);
  }
  std::filesystem::path m_bin;
};

TEST_F(Flush, Table) {
  struct Case {
    const char* name;
    std::optional<std::string> script;  // none: no resolvectl
    bool ok;
    const wchar_t* error;
  } cases[] = {
      {"missing", std::nullopt, false, L"Could not clear DNS cache. CreateProcess failed with error 2"},
      {"exit_3", "exit 3", false, L"Could not clear DNS cache. resolvectl failed with exit code 3"},
      {"wrong_arguments", "[ \"$1\" = flush-caches ] || exit 9", true, L""},
      {"hanging", "exec /bin/sleep 30", false, L"Could not clear DNS cache - timeout"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(m_bin / "resolvectl");
    if (c.script) FakeResolvectl(*c.script);
    std::wstring error;
    EXPECT_EQ(FlushDnsCacheNow(error), c.ok);
    EXPECT_EQ(error, c.error);
  }
}

TEST_F(Flush, OnlyTheFirstFailureOfARunIsLogged) {
  testsupport::LogCapture log(LogError);
  FlushDnsCacheThread();
  FlushDnsCacheThread();
  auto texts = log.TakeTexts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], L"Could not clear DNS cache. CreateProcess failed with error 2");
}

// --- a second copy's requests -----------------------------------------------

class Instance : public AppTest {
 protected:
  // Serves until the request sent on another thread has its answer.
  std::optional<int64_t> Exchange(const SInstanceRequest& request, const CInstanceChannel::Handler& handler) {
    auto reply = std::async(std::launch::async, [&] { return CInstanceChannel::Send(m_socket, request); });
    while (reply.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) m_channel.ServePending(handler);
    return reply.get();
  }
  std::filesystem::path m_socket = Folder() / "run" / "tarnwick" / "instance.sock";
  CInstanceChannel m_channel;
};

TEST_F(Instance, TheLockIsHeldUntilItsOwnerLetsGo) {
  const auto file = Folder() / "tarnwick-running.lock";
  auto first = std::make_unique<CInstanceLock>();
  ASSERT_EQ(first->Take(file), CInstanceLock::EResult::Taken);
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  CInstanceLock second;
  EXPECT_EQ(second.Take(file), CInstanceLock::EResult::Held);
  first.reset();
  EXPECT_EQ(second.Take(file), CInstanceLock::EResult::Taken);
  CInstanceLock third;
  EXPECT_EQ(third.Take(Folder() / "no-folder" / "x.lock"), CInstanceLock::EResult::Failed);
  EXPECT_EQ(third.Error(), ENOENT);
}

TEST_F(Instance, NoListenerIsNoWindow) {
  EXPECT_FALSE(CInstanceChannel::Send(m_socket, {WM_ACTIVATE_INSTANCE, 0, 0, {}}).has_value());
}

TEST_F(Instance, ALeftoverSocketIsReplacedAndRequestsArrive) {
  // A socket file no copy listens on, as a killed copy leaves it.
  std::filesystem::create_directories(m_socket.parent_path());
  int stale = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  strcpy(address.sun_path, m_socket.c_str());
  ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  close(stale);
  EXPECT_FALSE(CInstanceChannel::Send(m_socket, {WM_ACTIVATE_INSTANCE, 0, 0, {}}).has_value());

  ASSERT_TRUE(m_channel.Listen(m_socket));
  struct stat st {};
  ASSERT_EQ(stat(m_socket.parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(m_socket.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::vector<SInstanceRequest> seen;
  auto reply = Exchange({WM_COPYDATA, 0, COPYDATA_LOAD_CONFIG_SILENT, EncodeCopyDataPath(L"/tmp/ä b.xml")},
                        [&](const SInstanceRequest& r) -> int64_t {
                          seen.push_back(r);
                          return 7;
                        });
  EXPECT_EQ(reply, 7);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].dwData, COPYDATA_LOAD_CONFIG_SILENT);
  EXPECT_EQ(DecodeCopyDataPath(seen[0].payload), L"/tmp/ä b.xml");
}

TEST_F(Instance, AMuteOrMalformedPeerDoesNotStopTheNextRequest) {
  ASSERT_TRUE(m_channel.Listen(m_socket));
  int peer = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  strcpy(address.sun_path, m_socket.c_str());
  ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  const char junk[24] = {9, 9, 9};
  ASSERT_EQ(write(peer, junk, sizeof junk), 24);
  close(peer);
  int handled = 0;
  auto reply = Exchange({WM_ACTIVATE_INSTANCE, 1, 0, {}}, [&](const SInstanceRequest& r) -> int64_t {
    ++handled;
    return r.wParam == 1 ? 1 : 0;
  });
  EXPECT_EQ(reply, 1);
  EXPECT_EQ(handled, 1);
}

TEST(CopyData, ThePathEndsAtItsTerminatorOrThePayload) {
  EXPECT_EQ(DecodeCopyDataPath({'a', 0, 'b', 0, 0, 0, 'c', 0}), L"ab");
  EXPECT_EQ(DecodeCopyDataPath({'a', 0, 'b', 0, 'c'}), L"ab");  // odd byte left out
  EXPECT_EQ(DecodeCopyDataPath({}), L"");
  EXPECT_EQ(DecodeCopyDataPath(EncodeCopyDataPath(L"/x/\U0001F600.xml")), L"/x/\U0001F600.xml");
}

TEST_F(Instance, TheFrameTakesOnlyItsTwoKindsBelow520Bytes) {
  CHeadlessFrame frame;
  CScriptedPrompt prompt;
  const auto file = Folder() / "import.xml";
  WriteBytes(file, ConfFile(ServerLine(1001, "Copied", "127.0.0.2") + RuleLine("Default", 1001)));
  const auto payload = EncodeCopyDataPath(Utf8ToWide(file.string()));
  EXPECT_EQ(frame.OnCopyData(1913, payload), 0);
  std::vector<uint8_t> large = payload;
  large.resize(CAppFrame::kMaxCopyDataBytes, 0);
  EXPECT_EQ(frame.OnCopyData(COPYDATA_LOAD_CONFIG_SILENT, large), 0);
  EXPECT_TRUE(g_Configuration.Servers().empty());
  large.resize(CAppFrame::kMaxCopyDataBytes - 1);
  EXPECT_EQ(frame.OnCopyData(COPYDATA_LOAD_CONFIG_SILENT, large), 1);
  ASSERT_EQ(g_Configuration.Servers().size(), 1u);
  EXPECT_EQ(g_Configuration.Servers()[0].name, L"Copied");
  EXPECT_EQ(frame.OnActivateInstance(0), 1);
  EXPECT_FALSE(frame.IsClosed());
  EXPECT_EQ(frame.OnActivateInstance(1), 1);
  EXPECT_TRUE(frame.IsClosed());
}

}  // namespace

// --- service control --------------------------------------------------------

namespace {

class ServiceControl : public AppTest {
 protected:
  ServiceControl() { ResetServiceStateForTesting(); }
  ~ServiceControl() override { ResetServiceStateForTesting(); }
};

TEST_F(ServiceControl, AStopBeforeTheWindowExistsClosesItOnceItDoes) {
  testsupport::LogCapture log(LogVerbose);
  EXPECT_EQ(ServiceCtrlHandler(SERVICE_CONTROL_STOP), 0u);
  EXPECT_EQ(log.TakeTexts(), (std::vector<std::wstring>{L"ServiceCtrlHandler 1", L"Service stop"}));
  platform::CMessageQueueWindow window;
  OnMainWindowCreated(window.Handle());
  platform::SWindowMessage message;
  ASSERT_TRUE(window.WaitForMessage(message, 1000));
  EXPECT_EQ(message.message, WM_CLOSE);
}

TEST_F(ServiceControl, OnlyStopAndInterrogateAreKnown) {
  platform::CMessageQueueWindow window;
  OnMainWindowCreated(window.Handle());
  EXPECT_EQ(ServiceCtrlHandler(SERVICE_CONTROL_INTERROGATE), 0u);
  EXPECT_EQ(ServiceCtrlHandler(2), ERROR_CALL_NOT_IMPLEMENTED);  // PAUSE
  EXPECT_TRUE(window.TakeAll().empty());
  EXPECT_EQ(ServiceCtrlHandler(SERVICE_CONTROL_STOP), 0u);
  EXPECT_EQ(window.TakeAll().size(), 1u);
}

TEST_F(ServiceControl, ReadyAndStoppingReachTheNotifySocket) {
  const auto path = Folder() / "notify";
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  Env().Set("NOTIFY_SOCKET", path.string());
  ServiceMain();
  ServiceCtrlHandler(SERVICE_CONTROL_STOP);
  char buffer[64] = {};
  ASSERT_EQ(recv(fd, buffer, sizeof buffer, MSG_DONTWAIT), 7);
  EXPECT_STREQ(buffer, "READY=1");
  memset(buffer, 0, sizeof buffer);
  ASSERT_EQ(recv(fd, buffer, sizeof buffer, MSG_DONTWAIT), 10);
  EXPECT_STREQ(buffer, "STOPPING=1");
  close(fd);
}

}  // namespace

namespace {

TEST_F(ServiceControl, WithoutATrayTheIconStaysOffSoTheWindowShows) {
  CScriptedPrompt prompt;
  prompt.Answer(IDOK);
  theApp.ShowTrayIcon(true);
  ASSERT_EQ(prompt.Texts(), std::vector<std::wstring>{L"Cannot display System Tray icon error = 0"});
  EXPECT_EQ(theApp.TrayIcon().uID, 0u);
}

}  // namespace
