// The engine and the driver client as one process, for the namespace tests,
// the demo and the benchmark, until the program itself exists: loads a
// conf-file, opens the driver, configures and starts it, and runs until
// SIGTERM or SIGINT, then stops as the program does at exit (the engine's
// worker, then the driver client) and ends without destroying the engine,
// whose detached threads may still run.
//
//   engine_harness --conf FILE [--socket PATH] [--resolv-conf PATH]
//                  [--log FILE] [--log-level 1..4] [--check-servers]
//                  [--trust-ca FILE]...
//
// --check-servers tests every server of the conf-file once, with its
// DnsChecker test target, as a server list dialog does: one checker on a
// queue window that a thread of its own pumps, its timeouts checked each
// second; the checker's lines go to the log.
//
// --trust-ca adds the PEM certificates of FILE to the trust list that DNS
// over TLS verifies servers against (a test CA).
//
// --dnscrypt-library PATH: the DNSCrypt bridge opens PATH (a stand-in of the
// outside library) instead of libdnscrypt.so beside the program.
//
// --table-sizes FILE: once a second, FILE is replaced by the engine's table
// sizes, the process's open descriptors and its resident bytes, one
// key=value a line (pending=, udp=, tcp=, tls=, quic=, socket_events=,
// dnssec_checks=, dnssec_answers=, dnssec_cache=, fds=, rss_bytes=).
//
// Every screen log line goes to the log file (standard output without one),
// flushed as it is written; "Harness running." says the start is complete.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Quorvane/config/profile.h"
#include "Quorvane/engine/captive_portal_detector.h"
#include "Quorvane/engine/dns_engine.h"
#include "Quorvane/engine/server_check.h"
#include "Quorvane/engine/net_filter_processor.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/cert_verify.h"
#include "Quorvane/platform/device_io.h"
#include "Quorvane/platform/system_dns.h"

namespace {

struct SOptions {
  std::string conf, socket = platform::kDefaultControlSocket, resolvConf, log;
  int logLevel = LogVerbose;
  bool checkServers = false;
  std::vector<std::string> trustCa;
};

int Usage(const char* why) {
  std::cerr << "engine_harness: " << why
            << "\nusage: engine_harness --conf FILE [--socket PATH] [--resolv-conf PATH] [--log FILE] "
               "[--log-level 1..4] [--check-servers] [--trust-ca FILE]...\n";
  return 2;
}

// Moves screen lines to out until stop is set, then once more.
void DrainLog(std::ostream& out, const std::atomic<bool>& stop) {
  for (bool last = false; !last;) {
    last = stop.load();
    std::list<SLogLine> lines;
    SwapLogQueue(lines, true);
    for (const SLogLine& line : lines) out << (line.error ? "E " : "  ") << WideToUtf8(line.text) << "\n";
    out.flush();
    if (!last) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// One pass of a server checker over servers on this thread, as its owner
// window would run it, until every test is done or stop is set.
void CheckServers(const std::vector<CDnsServer>& servers, const std::string& testTarget,
                  const std::atomic<bool>& stop) {
  // The engine starts on the driver client's thread; tests need its port.
  for (int i = 0; i < 100 && !g_DnsEngine.SocketEvents().GetPort(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  platform::CMessageQueueWindow window;
  CDnsServerChecker checker;
  for (const CDnsServer& server : servers) checker.Add(server, CDnsServer{}, "", 0);
  checker.Start(window.Handle(), testTarget);
  auto lastTimeoutCheck = std::chrono::steady_clock::now();
  auto done = [&checker] {
    for (const SServerCheck& check : checker.m_checks)
      if (!check.done) return false;
    return true;
  };
  while (!stop && !done()) {
    platform::SWindowMessage message;
    if (window.WaitForMessage(message, 100) && message.message == WM_DNSCHECK_RESULT) {
      std::unique_ptr<SServerCheckResult> result(reinterpret_cast<SServerCheckResult*>(message.wParam));
      checker.OnResult(result.get());
    }
    if (std::chrono::steady_clock::now() - lastTimeoutCheck >= std::chrono::seconds(1)) {
      lastTimeoutCheck = std::chrono::steady_clock::now();
      checker.CheckTimeouts();
    }
  }
  checker.Stop();
  for (const platform::SWindowMessage& left : window.TakeAll()) {
    if (left.message == WM_DNSCHECK_RESULT) delete reinterpret_cast<SServerCheckResult*>(left.wParam);
  }
}

// The --table-sizes writer: a whole file at a time, renamed into place, so
// a reader never sees half of one.
void WriteTableSizes(const std::string& file, const std::atomic<bool>& stop) {
  while (!stop) {
    const CDnsEngine::STableSizes t = g_DnsEngine.TableSizes();
    size_t fds = 0;
    std::error_code ignored;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ignored);
         it != std::filesystem::directory_iterator(); it.increment(ignored))
      ++fds;
    long pages = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
      std::fclose(statm);
    }
    {
      std::ofstream out(file + ".new", std::ios::trunc);
      out << "pending=" << t.pending << "\nudp=" << t.udp << "\ntcp=" << t.tcp << "\ntls=" << t.tls
          << "\nquic=" << t.quic << "\nsocket_events=" << t.socketEvents << "\ndnssec_checks=" << t.dnssecChecks
          << "\ndnssec_answers=" << t.dnssecAnswers << "\ndnssec_cache=" << t.dnssecCache
          << "\nfds=" << fds - 1  // less the directory's own
          << "\nrss_bytes=" << resident * sysconf(_SC_PAGESIZE) << "\n";
    }
    std::rename((file + ".new").c_str(), file.c_str());
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}

}  // namespace

int main(int argc, char** argv) {
  SOptions options;
  std::string dnscryptLibrary;
  std::string tableSizes;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--dnscrypt-library" && i + 1 < argc) {
      dnscryptLibrary = argv[++i];
      continue;
    }
    if (name == "--table-sizes" && i + 1 < argc) {
      tableSizes = argv[++i];
      continue;
    }
    if (name == "--check-servers") {
      options.checkServers = true;
      continue;
    }
    if (i + 1 >= argc) return Usage(("no value for " + name).c_str());
    std::string value = argv[++i];
    if (name == "--conf") options.conf = value;
    else if (name == "--socket") options.socket = value;
    else if (name == "--resolv-conf") options.resolvConf = value;
    else if (name == "--log") options.log = value;
    else if (name == "--log-level") options.logLevel = std::atoi(value.c_str());
    else if (name == "--trust-ca") options.trustCa.push_back(value);
    else return Usage(("unknown option " + name).c_str());
  }
  if (options.conf.empty()) return Usage("--conf is required");
  if (options.logLevel < LogError || options.logLevel > LogDebug) return Usage("--log-level is 1..4");

  // Test CAs join the trust list before any connection can be checked.
  for (const std::string& file : options.trustCa) {
    std::string error;
    if (!platform::AddTrustedCertificatesFile(file, error)) return Usage(("--trust-ca: " + error).c_str());
  }

  // SIGTERM and SIGINT are taken by sigwait below, never by a handler; every
  // thread started from here on inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  InitTextLocale();
  g_LogLevelScreen = options.logLevel;
  std::ofstream logFile;
  if (!options.log.empty()) {
    logFile.open(options.log, std::ios::app);
    if (!logFile) return Usage(("cannot open the log " + options.log).c_str());
  }
  std::ostream& logOut = options.log.empty() ? std::cout : logFile;
  std::atomic<bool> stopLog{false};
  std::thread logThread(DrainLog, std::ref(logOut), std::cref(stopLog));
  auto finish = [&](int status) {
    stopLog = true;
    logThread.join();
    // No destructors: the engine's detached threads may still run.
    _exit(status);
  };

  platform::SetControlDeviceSocket(options.socket);
  if (!options.resolvConf.empty()) {
    platform::SSystemDnsConfig dns = platform::SystemDnsConfig();
    dns.resolvConf = options.resolvConf;
    platform::SetSystemDnsConfig(dns);
  }

  CProfile profile;
  std::wstring error;
  bool openFailed = false, checkVersion = false;
  if (!profile.Load(error, openFailed, checkVersion, Utf8ToWide(options.conf))) {
    CLogMessage().SetError().Append(LogError, L"Cannot load ").Append(LogError, Utf8ToWide(options.conf))
        .Append(LogError, L": ").Append(LogError, error);
    finish(1);
  }
  CProfile::SetRunning(profile);

  if (!dnscryptLibrary.empty()) g_DnsEngine.DnsCrypt().SetLibraryName(Utf8ToWide(dnscryptLibrary));

  // Failed requests and the rule evaluation reach the real detector.
  SetCaptivePortalHooks(&CCaptivePortalDetector::Hooks());

  if (!g_NetFilterProcessor.Open(error)) {
    CLogMessage().SetError().Append(LogError, error);
    finish(1);
  }
  bool started = g_NetFilterProcessor.Configure(profile.settings.blockTcpPort53, profile.settings.interceptOthers) &&
                 g_NetFilterProcessor.Start();
  if (!started) finish(1);
  CLogMessage().Append(LogAlways, L"Harness running.");

  std::atomic<bool> stopChecks{false};
  std::thread checkThread;
  if (options.checkServers) {
    checkThread = std::thread(CheckServers, profile.servers, profile.checkerSettings.testTarget, std::cref(stopChecks));
  }

  std::atomic<bool> stopSizes{false};
  std::thread sizesThread;
  if (!tableSizes.empty()) sizesThread = std::thread(WriteTableSizes, tableSizes, std::cref(stopSizes));

  int signal = 0;
  sigwait(&stopSignals, &signal);
  CLogMessage().Append(LogAlways, L"Harness exit.");
  stopChecks = true;
  if (checkThread.joinable()) checkThread.join();
  stopSizes = true;
  if (sizesThread.joinable()) sizesThread.join();
  g_DnsEngine.Stop();
  bool stopped = g_NetFilterProcessor.Stop();
  finish(stopped ? 0 : 1);
}
