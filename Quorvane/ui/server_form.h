// The server and stamp dialogs apart from Qt: the protocol list's order, the
// dialog's fields as plain values, loading a server into them and reading
// them back (the server, or the first error text), which controls each
// protocol shows, and what OK, Check and sdns:// do. Every refusal is a box
// through the prompt. UI thread.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "Quorvane/config/dns_server.h"
#include "Quorvane/engine/server_check.h"

// Index i of the protocol list is the protocol g_ProtocolDisplayOrder[i].
extern std::vector<int> g_ProtocolDisplayOrder;
// -1 for a protocol that is not listed.
int ProtocolDisplayIndex(EDnsProtocol protocol);
// Unspec for an index outside the list.
EDnsProtocol ProtocolAtDisplayIndex(int index);
// The list's texts; throws std::out_of_range for a value outside the
// protocol table.
std::vector<std::wstring> ProtocolDisplayTexts();

// Control ids of dialog 131.
enum EServerDlgControl : int {
  IDC_ADDRESS = 1001,
  IDC_DNSSEC = 1003,
  IDC_STAMP = 1010,
  IDC_URL_OR_HOST = 1011,
  IDC_HASHES = 1012,
  IDC_URL_LABEL = 1013,
  IDC_PUBLIC_KEY_LABEL = 1014,
  IDC_PUBLIC_KEY = 1015,
  IDC_HASHES_LABEL = 1016,
  IDC_PROVIDER_LABEL = 1017,
  IDC_PROVIDER = 1019,
  IDC_SELECT_PROTOCOL = 1020,
  IDC_NO_RELAY_OPTIONS = 1021,
  IDC_CHECK = 1022,
  IDC_NEXTDNS_ID = 1023,
  IDC_HOSTNAME_LABEL = 1024,
  IDC_DEVICE_NAME = 1025,
  IDC_DEVICE_LABEL = 1026,
  IDC_CHECK_STATUS = 1038,
  IDC_DISABLE_PADDING = 1040,
  IDC_USE_CURRENT = 1041,
  IDC_OPTIONS_GROUP = 1042,
  IDC_ULTRA_LOW_LATENCY = 1043,
  IDC_FORCE_TCP = 1044,
  IDC_NEXTDNS_LINK = 1045,
  IDC_ADDRESS_LABEL = 1046,
  IDC_USE_TCP = 1047,
};

// Every control whose visibility depends on the protocol.
const std::vector<int>& PaneControls();

struct SServerForm {
  std::wstring name;
  std::string address;
  bool dnssec = false;
  std::string urlOrHost, hashes, publicKey, providerName;
  int protocolIndex = -1;
  bool disablePadding = false;
  std::string nextDnsId;
  bool useCurrentDevice = false;
  std::wstring deviceName;
  bool ultraLowLatency = false;
  bool useTcp = false;
  bool forceTcp = false;
};

SServerForm LoadServerForm(const CDnsServer& server);
// The server the fields describe (run-time state fresh, id 0); false with
// the first error text, server untouched.
bool ReadServerForm(const SServerForm& form, CDnsServer& server, std::wstring& error);

struct SServerPane {
  std::set<int> visible;  // of PaneControls()
  bool deviceNameEnabled = true;
  std::wstring caption;  // of the options group
};
SServerPane VisibleControls(EDnsProtocol protocol, const SServerForm& form);

// The status line of a check and whether it is drawn red (else green).
std::wstring CheckStatusText(const SServerCheckResult& result);
bool IsErrorStatus(const std::wstring& text);

inline constexpr const wchar_t* kNextDnsSignUpUrl = L"https://my.nextdns.io/signup";

// The stamp dialog: the server's stamp, and OK over the edited text.
class CDnsStampForm {
 public:
  explicit CDnsStampForm(CDnsServer& server);
  // Empty when the server has no stamp that reads back.
  const std::string& InitialText() const { return m_initial; }
  // False (box shown, server unchanged) for a text that does not load.
  bool Ok(const std::string& text);
  bool Replaced() const { return m_replaced; }

 private:
  CDnsServer& m_server;
  std::string m_initial;
  bool m_replaced = false;
};

// Runs the stamp dialog on a server: true on OK, with replaced set when the
// dialog put the server of an edited stamp there.
using StampDialogRunner = std::function<bool(CDnsServer& server, bool& replaced)>;

// The server dialog's state and commands.
class CDnsServerForm {
 public:
  explicit CDnsServerForm(CDnsServer& server) : fields(LoadServerForm(server)), m_server(server) {}

  EDnsProtocol Protocol() const { return ProtocolAtDisplayIndex(fields.protocolIndex); }
  SServerPane Pane() const { return VisibleControls(Protocol(), fields); }

  void ChangeProtocol(int index);
  // "Use current" toggled: turning it on fills in the automatic device name.
  void SetUseCurrentDevice(bool on);

  // OK: the record becomes the fields' server (its id kept, a new one taking
  // g_NextObjectId); false after the box.
  bool Ok();
  // Check: false after a box; else the checker runs the fields' server.
  bool StartCheck(CDnsServerChecker& checker, platform::HWND owner, const std::string& testTarget);
  // The dialog's WM_DNSCHECK_RESULT; frees the result. False when the
  // checker did not take it (a result of an earlier check).
  bool OnCheckResult(CDnsServerChecker& checker, SServerCheckResult* result);
  // sdns://: the fields are reloaded only when the stamp dialog replaced the server.
  void Stamp(const StampDialogRunner& run);

  SServerForm fields;
  std::wstring checkStatus;
  bool checkEnabled = true;

 private:
  CDnsServer& m_server;
};
