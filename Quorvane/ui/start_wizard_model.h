// The first-start wizard's built-in servers. UI thread.
#pragma once

#include "Quorvane/config/dns_server.h"

// The resolvers' published stamps: DoH with the DNSSEC property at 8.8.8.8,
// and DNSCrypt without logs or filters at 9.9.9.10:8443.
extern const char* const kGoogleDohStamp;
extern const char* const kQuad9DnsCryptStamp;

// Choice 1 "Google DoH", 2 "Quad9 DNSCrypt", 3 "NextDNS": a default server
// completed from its stamp (left default when it does not parse), with the
// next object id and DNSSEC supported.
CDnsServer MakeBuiltinServer(int choice);

#include <functional>
#include <string>

struct SServerCheckResult;

// The wizard's stages and choices apart from Qt; its boxes go through the
// prompt, the checker and the configuration through hooks.
class CWizardModel {
 public:
  enum class ENext { Stay, EndOk };
  struct SHooks {
    std::function<bool()> hasConfiguration;  // servers, or more than one rule
    std::function<void()> createDefault;     // choice 0's reset, save and restart
    std::function<void(const CDnsServer&)> startCheck;
    std::function<void()> stopCheck;
    std::function<bool(SServerCheckResult*)> takeResult;  // the checker's OnResult
    std::function<bool()> importFromWeb;     // choice 4
    std::function<bool()> importFile;        // choice 5
    std::function<void(const CDnsServer&)> useServer;  // stage 3's Next
  };
  explicit CWizardModel(SHooks hooks) : m_hooks(std::move(hooks)) {}

  ENext Next();
  void Back();
  // A check result; acts only in stage 3 and only when the checker took it.
  void OnResult(SServerCheckResult* result);

  int stage = 1;
  int choice = -1;
  std::string nextDnsId;
  std::wstring deviceName;
  bool useCurrentName = false;
  bool nextEnabled = true;
  std::wstring resultText;
  CDnsServer server;

 private:
  void StartCheck();
  SHooks m_hooks;
};

#include <vector>

#include "Quorvane/config/rule.h"

// Choice 4 after the import dialog's OK: appends each marked server that no
// server equals (ignoring id and name) and asks the questions. A single
// marked server that equals one already there makes that one the Default
// rule's target on Yes. rulesCommand opens the Rules dialog. True when the
// rules changed.
bool MergeImportedServers(std::vector<CDnsServer>& servers, std::vector<CRule>& rules,
                          const std::vector<CDnsServer>& marked, const std::function<void()>& rulesCommand);
