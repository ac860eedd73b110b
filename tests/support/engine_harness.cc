// The engine and the driver client as one process, for the namespace tests,
// the demo and the benchmark, until the program itself exists: loads a
// conf-file, opens the driver, configures and starts it, and runs until
// SIGTERM or SIGINT, then stops as the program does at exit (the engine's
// worker, then the driver client) and ends without destroying the engine,
// whose detached threads may still run.
//
//   engine_harness --conf FILE [--socket PATH] [--resolv-conf PATH]
//                  [--log FILE] [--log-level 1..4]
//                  [--trust-ca FILE]...
//
// --trust-ca adds the PEM certificates of FILE to the trust list that DNS
// over TLS verifies servers against (a test CA).
//
// Every screen log line goes to the log file (standard output without one),
// flushed as it is written; "Harness running." says the start is complete.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "Quorvane/config/profile.h"
#include "Quorvane/engine/dns_engine.h"
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
  std::vector<std::string> trustCa;
};

int Usage(const char* why) {
  std::cerr << "engine_harness: " << why
            << "\nusage: engine_harness --conf FILE [--socket PATH] [--resolv-conf PATH] [--log FILE] "
               "[--log-level 1..4] [--trust-ca FILE]...\n";
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

}  // namespace

int main(int argc, char** argv) {
  SOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
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

  if (!g_NetFilterProcessor.Open(error)) {
    CLogMessage().SetError().Append(LogError, error);
    finish(1);
  }
  bool started = g_NetFilterProcessor.Configure(profile.settings.blockTcpPort53, profile.settings.interceptOthers) &&
                 g_NetFilterProcessor.Start();
  if (!started) finish(1);
  CLogMessage().Append(LogAlways, L"Harness running.");

  int signal = 0;
  sigwait(&stopSignals, &signal);
  CLogMessage().Append(LogAlways, L"Harness exit.");
  g_DnsEngine.Stop();
  bool stopped = g_NetFilterProcessor.Stop();
  finish(stopped ? 0 : 1);
}
