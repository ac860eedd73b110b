#include "Quorvane/ui/server_form.h"

#include <netinet/in.h>

#include "Quorvane/app/message_box.h"
#include "Quorvane/config/dns_stamp.h"
#include "Quorvane/config/object_id.h"
#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/text_utils.h"

std::vector<int> g_ProtocolDisplayOrder = {1, 2, 3, 4, 7, 5, 6};

namespace {

constexpr const wchar_t* kServerCaption = L"DNS Server";

bool IsUrlOrHostProtocol(EDnsProtocol p) {
  return p == EDnsProtocol::Doh || p == EDnsProtocol::Dot || p == EDnsProtocol::Doq;
}

void Trim(std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) {
    text.clear();
    return;
  }
  text = text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The host part of a URL or address as the server stores it: IPv6 in "[]".
std::string BracketedHost(const std::string& host) {
  int family = 0;
  std::vector<uint8_t> bytes;
  if (host.find(':') != std::string::npos && TextToAddress(host, family, bytes) && family == AF_INET6)
    return "[" + host + "]";
  return host;
}

bool ReadHashes(const std::string& text, const wchar_t* prefix, HashList& hashes, std::wstring& error) {
  if (text.empty()) return true;
  std::string reason;
  if (ParseHashList(text, hashes, reason)) return true;
  error = prefix + Utf8ToWide(reason);
  return false;
}

}  // namespace

int ProtocolDisplayIndex(EDnsProtocol protocol) {
  for (size_t i = 0; i < g_ProtocolDisplayOrder.size(); ++i)
    if (g_ProtocolDisplayOrder[i] == static_cast<int>(protocol)) return static_cast<int>(i);
  return -1;
}

EDnsProtocol ProtocolAtDisplayIndex(int index) {
  if (index < 0 || index >= static_cast<int>(g_ProtocolDisplayOrder.size())) return EDnsProtocol::Unspec;
  return static_cast<EDnsProtocol>(g_ProtocolDisplayOrder[index]);
}

std::vector<std::wstring> ProtocolDisplayTexts() {
  std::vector<std::wstring> texts;
  for (int value : g_ProtocolDisplayOrder)
    texts.push_back(Utf8ToWide(g_ProtocolTable.at(static_cast<EDnsProtocol>(value)).second));
  return texts;
}

const std::vector<int>& PaneControls() {
  static const std::vector<int> controls = {
      IDC_ADDRESS_LABEL, IDC_ADDRESS,          IDC_DNSSEC,           IDC_SELECT_PROTOCOL, IDC_NO_RELAY_OPTIONS,
      IDC_USE_TCP,       IDC_PUBLIC_KEY_LABEL, IDC_PUBLIC_KEY,       IDC_PROVIDER_LABEL,  IDC_PROVIDER,
      IDC_DISABLE_PADDING, IDC_FORCE_TCP,      IDC_URL_LABEL,        IDC_URL_OR_HOST,     IDC_HASHES_LABEL,
      IDC_HASHES,        IDC_HOSTNAME_LABEL,   IDC_NEXTDNS_ID,       IDC_NEXTDNS_LINK,    IDC_DEVICE_NAME,
      IDC_DEVICE_LABEL,  IDC_USE_CURRENT,      IDC_ULTRA_LOW_LATENCY,
  };
  return controls;
}

SServerForm LoadServerForm(const CDnsServer& server) {
  SServerForm form;
  form.name = server.name;
  form.address = AddressToText(static_cast<int>(server.family), server.address);
  const uint16_t defaultPort = GetDefaultPort(server.protocol);
  if (server.protocol != EDnsProtocol::Doh && server.port != 0 && server.port != defaultPort) {
    // An empty address gets no "[]": ":port" reads back as a port alone.
    if (server.family == AF_INET6 && !form.address.empty()) form.address = "[" + form.address + "]";
    form.address += ":" + std::to_string(server.port);
  }
  form.protocolIndex = ProtocolDisplayIndex(server.protocol);
  form.dnssec = server.dnssec_supported;
  switch (server.protocol) {
    case EDnsProtocol::Plain: form.useTcp = server.plain_use_tcp; break;
    case EDnsProtocol::DnsCrypt:
      form.publicKey = BytesToHex(server.dnscrypt_public_key, true, 2);
      form.providerName = server.dnscrypt_provider_name;
      form.disablePadding = server.dnscrypt_disable_padding;
      form.forceTcp = server.dnscrypt_force_tcp;
      break;
    case EDnsProtocol::Doh:
      form.urlOrHost = server.GetDohUrl();
      form.hashes = FormatHashList(server.doh_hashes);
      break;
    case EDnsProtocol::Dot:
      form.urlOrHost = server.dot_host_name;
      form.hashes = FormatHashList(server.dot_hashes);
      break;
    case EDnsProtocol::Doq:
      form.urlOrHost = server.doq_host_name;
      form.hashes = FormatHashList(server.doq_hashes);
      break;
    default: break;
  }
  if (server.protocol == EDnsProtocol::NextDns || server.protocol == EDnsProtocol::Unspec) {
    form.nextDnsId = server.nextdns_id;
    form.useCurrentDevice = server.nextdns_devname_auto;
    form.deviceName = server.nextdns_devname;
    form.ultraLowLatency = server.nextdns_ultra_low_latency;
  }
  return form;
}

bool ReadServerForm(const SServerForm& form, CDnsServer& target, std::wstring& error) {
  CDnsServer server;
  const EDnsProtocol protocol = ProtocolAtDisplayIndex(form.protocolIndex);
  std::string address = form.address;
  if (form.name.empty()) {
    error = L"User friendly name cannot be empty.";
    return false;
  }
  if (protocol == EDnsProtocol::Unspec) {
    error = L"Please select DNS protocol.";
    return false;
  }
  Trim(address);
  if (address.empty() && !IsUrlOrHostProtocol(protocol) && protocol != EDnsProtocol::NextDns) {
    error = L"Please specify IP address.";
    return false;
  }
  if (protocol == EDnsProtocol::NextDns && form.ultraLowLatency) address.clear();

  server.name = form.name;
  server.protocol = protocol;
  server.dnssec_supported = form.dnssec;
  bool haveAddress = false;
  unsigned short port = 0;
  if (!address.empty()) {
    std::string scheme, host, path, splitError;
    if (!SplitServerAddress(address, scheme, host, port, path, splitError)) {
      error = L"Invalid IP address.";
      return false;
    }
    // Tested before the address parse: for the protocols reached by host
    // name an empty host is "no address", and the port stays.
    if (host.empty()) {
      if (!IsUrlOrHostProtocol(protocol)) {
        error = L"IP address cannot be empty.";
        return false;
      }
    } else {
      int family = 0;
      std::vector<uint8_t> bytes;
      if (!TextToAddress(host, family, bytes)) {
        error = L"Invalid IP address.";
        return false;
      }
      server.family = static_cast<uint32_t>(family);
      server.address = std::move(bytes);
      haveAddress = true;
    }
  }
  std::string urlOrHost = form.urlOrHost;
  Trim(urlOrHost);

  switch (protocol) {
    case EDnsProtocol::Plain: server.plain_use_tcp = form.useTcp; break;
    case EDnsProtocol::DnsCrypt: {
      HashList keys;
      std::string reason;
      if (!ParseHashList(form.publicKey, keys, reason)) {
        error = L"Public key " + Utf8ToWide(reason);
        return false;
      }
      if (keys.size() != 1) {
        error = L"Incorrect public key format";
        return false;
      }
      if (form.providerName.empty()) {
        error = L"Provider name cannot be empty.";
        return false;
      }
      server.dnscrypt_public_key = keys.front();
      server.dnscrypt_provider_name = form.providerName;
      server.dnscrypt_disable_padding = form.disablePadding;
      server.dnscrypt_force_tcp = form.forceTcp;
      break;
    }
    case EDnsProtocol::Doh: {
      if (urlOrHost.empty()) {
        error = L"URL cannot be empty.";
        return false;
      }
      std::string scheme, host, path, splitError;
      unsigned short urlPort = 0;
      if (!SplitServerAddress(urlOrHost, scheme, host, urlPort, path, splitError)) {
        error = L"Invalid URL.";
        return false;
      }
      if (port != 0) {
        error = L"Port can be specified in the URL field only.";
        return false;
      }
      int family = 0;
      std::vector<uint8_t> bytes;
      if (haveAddress && TextToAddress(host, family, bytes) &&
          (static_cast<uint32_t>(family) != server.family || bytes != server.address)) {
        error = L"IP address does not match URL.";
        return false;
      }
      server.doh_host_name = BracketedHost(host);
      server.doh_path = path;
      port = urlPort;
      if (!ReadHashes(form.hashes, L"Hash ", server.doh_hashes, error)) return false;
      break;
    }
    case EDnsProtocol::Dot:
    case EDnsProtocol::Doq: {
      if (urlOrHost.find_first_of(":/\\") != std::string::npos) {
        error = L"Incorrect hostname. Please use hostname only without URL, schema and path.";
        return false;
      }
      if (urlOrHost.empty() && !haveAddress) {
        error = L"IP address and/or Hostname should be specified.";
        return false;
      }
      const bool dot = protocol == EDnsProtocol::Dot;
      (dot ? server.dot_host_name : server.doq_host_name) = urlOrHost;
      if (!ReadHashes(form.hashes, L"Hash ", dot ? server.dot_hashes : server.doq_hashes, error)) return false;
      break;
    }
    case EDnsProtocol::NextDns:
      if (form.nextDnsId.empty()) {
        error = L"Configuration ID cannot be empty.";
        return false;
      }
      server.nextdns_id = form.nextDnsId;
      server.nextdns_devname_auto = form.useCurrentDevice;
      if (!form.useCurrentDevice) server.nextdns_devname = form.deviceName;
      server.nextdns_ultra_low_latency = form.ultraLowLatency;
      server.PrepareNextDns();
      break;
    default: break;
  }
  server.port = port != 0 ? port : GetDefaultPort(protocol);
  server.addressKnown = haveAddress;
  target = std::move(server);
  return true;
}

SServerPane VisibleControls(EDnsProtocol protocol, const SServerForm& form) {
  SServerPane pane;
  auto show = [&](std::initializer_list<int> ids) { pane.visible.insert(ids); };
  switch (protocol) {
    case EDnsProtocol::Plain: show({IDC_USE_TCP}); break;
    case EDnsProtocol::DnsCrypt:
      show({IDC_PUBLIC_KEY_LABEL, IDC_PUBLIC_KEY, IDC_PROVIDER_LABEL, IDC_PROVIDER, IDC_DISABLE_PADDING, IDC_FORCE_TCP});
      break;
    case EDnsProtocol::Doh: show({IDC_URL_LABEL, IDC_URL_OR_HOST, IDC_HASHES_LABEL, IDC_HASHES}); break;
    case EDnsProtocol::Dot:
    case EDnsProtocol::Doq: show({IDC_HOSTNAME_LABEL, IDC_URL_OR_HOST, IDC_HASHES_LABEL, IDC_HASHES}); break;
    case EDnsProtocol::NextDns:
      show({IDC_NEXTDNS_ID, IDC_NEXTDNS_LINK, IDC_DEVICE_NAME, IDC_DEVICE_LABEL, IDC_USE_CURRENT,
            IDC_ULTRA_LOW_LATENCY});
      break;
    case EDnsProtocol::Relay: show({IDC_NO_RELAY_OPTIONS}); break;
    default: show({IDC_SELECT_PROTOCOL}); break;
  }
  if (protocol != EDnsProtocol::NextDns || (!form.ultraLowLatency && !form.address.empty()))
    show({IDC_ADDRESS_LABEL, IDC_ADDRESS});
  if (protocol != EDnsProtocol::NextDns) show({IDC_DNSSEC});
  pane.deviceNameEnabled = !form.useCurrentDevice;
  const auto it = g_ProtocolTable.find(protocol);
  pane.caption = (protocol == EDnsProtocol::Unspec || it == g_ProtocolTable.end() ? std::wstring(L"Unspecified")
                                                                                   : Utf8ToWide(it->second.second)) +
                 L" options";
  return pane;
}

std::wstring CheckStatusText(const SServerCheckResult& result) {
  std::wstring text = result.ok ? L"OK" : L"Error: " + result.text;
  if (result.rttMs != -1) text += L" rtt=" + std::to_wstring(result.rttMs) + L" ms";
  return text;
}

bool IsErrorStatus(const std::wstring& text) { return text.find(L"Error") != std::wstring::npos; }

CDnsStampForm::CDnsStampForm(CDnsServer& server) : m_server(server) {
  std::string stamp, error;
  CDnsStamp check;
  if (server.ToStamp(stamp, error) && check.Parse(stamp, error)) m_initial = stamp;
}

bool CDnsStampForm::Ok(const std::string& text) {
  if (text == m_initial) return true;
  CDnsServer fresh;
  std::string error;
  if (!fresh.FromStamp(text, error)) {
    ShowMessageBox(L"Could not load DNS stamp.\n" + Utf8ToWide(error), L"DNS Stamp Error", MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  m_server = std::move(fresh);
  m_replaced = true;
  return true;
}

void CDnsServerForm::ChangeProtocol(int index) {
  const EDnsProtocol from = Protocol();
  fields.protocolIndex = index;
  const EDnsProtocol to = Protocol();
  if (from == EDnsProtocol::Doh && (to == EDnsProtocol::Dot || to == EDnsProtocol::Doq)) fields.urlOrHost.clear();
}

void CDnsServerForm::SetUseCurrentDevice(bool on) {
  fields.useCurrentDevice = on;
  if (!on) return;
  CDnsServer probe;
  probe.protocol = EDnsProtocol::NextDns;
  probe.nextdns_devname_auto = true;
  probe.PrepareNextDns();
  fields.deviceName = probe.nextdns_devname;
}

bool CDnsServerForm::Ok() {
  CDnsServer fresh;
  std::wstring error;
  if (!ReadServerForm(fields, fresh, error)) {
    ShowMessageBox(error, kServerCaption, MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  fresh.id = m_server.id != 0 ? m_server.id : g_NextObjectId++;
  m_server = std::move(fresh);
  return true;
}

bool CDnsServerForm::StartCheck(CDnsServerChecker& checker, platform::HWND owner, const std::string& testTarget) {
  CDnsServer fresh;
  std::wstring error;
  if (!ReadServerForm(fields, fresh, error)) {
    ShowMessageBox(error, kServerCaption, MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  if (fresh.protocol == EDnsProtocol::Relay) {
    ShowMessageBox(L"Relay can only be tested together with a DNSCrypt server.", kServerCaption,
                   MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  checkEnabled = false;
  checker.Stop();
  checker.Add(fresh, CDnsServer{}, "", 0);
  checker.Start(owner, testTarget);
  return true;
}

bool CDnsServerForm::OnCheckResult(CDnsServerChecker& checker, SServerCheckResult* result) {
  const bool taken = checker.OnResult(result);
  if (taken) {
    checkStatus = CheckStatusText(*result);
    checkEnabled = true;
  }
  delete result;
  return taken;
}

void CDnsServerForm::Stamp(const StampDialogRunner& run) {
  CDnsServer temporary;
  std::wstring error;
  if (!ReadServerForm(fields, temporary, error)) temporary = CDnsServer{};
  if (Protocol() == EDnsProtocol::NextDns)
    ShowMessageBox(L"DNS Stamp does not support NextDNS.\nThe server will be exported as DNS over HTTP.",
                   L"DNS Stamp", MB_OK | MB_ICONEXCLAMATION);
  bool replaced = false;
  if (!run(temporary, replaced) || !replaced) return;
  temporary.name = fields.name;
  fields = LoadServerForm(temporary);
}
