#include "Quorvane/ui/start_wizard_model.h"

#include "Quorvane/config/object_id.h"

#include <memory>

const char* const kGoogleDohStamp = "sdns://AgEAAAAAAAAABzguOC44LjgACmRucy5nb29nbGUKL2Rucy1xdWVyeQ";
const char* const kQuad9DnsCryptStamp =
    "sdns://AQYAAAAAAAAADTkuOS45LjEwOjg0NDMgZ8hHuMh1jNEgJFVDvnVnRt803x2EwAuMRwNo34Idhj4ZMi5kbnNjcnlwdC1jZXJ0LnF1YWQ5Lm5ldA";

CDnsServer MakeBuiltinServer(int choice) {
  CDnsServer server;
  std::string error;
  if (choice == 1) {
    server.FromStamp(kGoogleDohStamp, error);
    server.name = L"Google DoH";
  } else if (choice == 2) {
    server.FromStamp(kQuad9DnsCryptStamp, error);
    server.name = L"Quad9 DNSCrypt";
    server.dnscrypt_disable_padding = true;
  } else {
    server.name = L"NextDNS";
    server.protocol = EDnsProtocol::NextDns;
    server.port = 443;
  }
  server.id = g_NextObjectId++;
  server.dnssec_supported = true;
  return server;
}

#include "Quorvane/app/message_box.h"
#include "Quorvane/engine/server_check.h"

namespace {
constexpr const wchar_t* kCaption = L"First Start Wizard";
}

void CWizardModel::StartCheck() {
  stage = 3;
  nextEnabled = false;
  resultText.clear();
  if (m_hooks.stopCheck) m_hooks.stopCheck();
  if (m_hooks.startCheck) m_hooks.startCheck(server);
}

CWizardModel::ENext CWizardModel::Next() {
  if (stage == 1) {
    if (choice < 0 || choice > 5) {
      ShowMessageBox(L"You have not selected any option. Please select one or click Cancel button.", kCaption,
                     MB_ICONINFORMATION);
      return ENext::Stay;
    }
    if (m_hooks.hasConfiguration && m_hooks.hasConfiguration() &&
        ShowMessageBox(L"Your current configuration will be overwritten.\r\nContinue?", kCaption,
                       MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2) != IDYES)
      return ENext::Stay;
    switch (choice) {
      case 0:
        if (m_hooks.createDefault) m_hooks.createDefault();
        ShowMessageBox(L"Tarnwick has been started with an empty configuration.\r\nYou can now add DNS servers and "
                       L"create rules.",
                       kCaption, MB_ICONINFORMATION);
        return ENext::EndOk;
      case 1:
      case 2:
        server = MakeBuiltinServer(choice);
        StartCheck();
        return ENext::Stay;
      case 3:
        server = MakeBuiltinServer(choice);
        stage = 2;
        return ENext::Stay;
      case 4:
        return m_hooks.importFromWeb && m_hooks.importFromWeb() ? ENext::EndOk : ENext::Stay;
      default:
        if (!(m_hooks.importFile && m_hooks.importFile())) return ENext::Stay;
        ShowMessageBox(L"You are now all set to use Tarnwick!", kCaption, MB_ICONINFORMATION);
        return ENext::EndOk;
    }
  }
  if (stage == 2) {
    if (nextDnsId.empty()) {
      ShowMessageBox(L"Please specify NextDNS Configuration ID.", kCaption, MB_ICONEXCLAMATION);
      return ENext::Stay;
    }
    server.nextdns_id = nextDnsId;
    server.nextdns_devname_auto = useCurrentName;
    server.nextdns_devname = deviceName;
    server.PrepareNextDns();
    StartCheck();
    return ENext::Stay;
  }
  if (!nextEnabled) return ENext::Stay;
  if (m_hooks.useServer) m_hooks.useServer(server);
  ShowMessageBox(L"You are now all set to use Tarnwick!\nAll queries will be processed by " + server.name + L".",
                 kCaption, MB_ICONINFORMATION);
  return ENext::EndOk;
}

void CWizardModel::Back() {
  if (stage == 3 && m_hooks.stopCheck) m_hooks.stopCheck();
  if (stage > 1) stage = 1;
  nextEnabled = true;
}

void CWizardModel::OnResult(SServerCheckResult* result) {
  std::unique_ptr<SServerCheckResult> owned(result);
  // A result after Back, or one the checker no longer waits for, is stale.
  if (!(m_hooks.takeResult && m_hooks.takeResult(result)) || stage != 3) return;
  if (result->ok && result->rttMs < 0) return;  // the checker measures again
  nextEnabled = result->ok;
  resultText = result->ok ? server.name + L" works properly and it is ready to be used by Tarnwick!\n\nRTT = " +
                                std::to_wstring(result->rttMs) + L" ms"
                          : L"An error occurred while checking the server. Refer to the log for more information.\n\n"
                            L"Please check your network connection or try another server.";
}

bool MergeImportedServers(std::vector<CDnsServer>& servers, std::vector<CRule>& rules,
                          const std::vector<CDnsServer>& marked, const std::function<void()>& rulesCommand) {
  std::vector<uint32_t> ids;  // the id each marked server is known by
  for (const CDnsServer& server : marked) {
    uint32_t id = server.id;
    for (const CDnsServer& existing : servers)
      if (existing.IsEqual(server, true, true)) {
        id = existing.id;
        break;
      }
    if (id == server.id) servers.push_back(server);
    ids.push_back(id);
  }
  bool yes = false;
  if (marked.size() == 1) {
    yes = ShowMessageBox(L"Server " + marked[0].name +
                             L" has been imported.\r\nWould you like to set it as the default for all queries?",
                         kCaption, MB_YESNO | 0x20) == IDYES;
    if (yes && !rules.empty()) {
      rules.back().action = ERuleAction::ProcessServer;
      rules.back().action_id = ids[0];
    }
  } else if (!marked.empty()) {
    yes = ShowMessageBox(std::to_wstring(marked.size()) +
                             L" servers have been imported.\r\nWould you like to edit resolve rules now?",
                         kCaption, MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2) == IDYES;
    if (yes && rulesCommand) rulesCommand();
  }
  ShowMessageBox(yes ? L"You are now all set to use Tarnwick!"
                     : L"Tarnwick will bypass all queries.\nPlease edit resolve rules to use a specific DNS server.",
                 kCaption, MB_ICONINFORMATION);
  return yes && marked.size() == 1;
}
