#include "Quorvane/engine/server_state.h"

std::atomic<platform::HWND> g_hMainWnd{0};

bool PostServerStateMessage(uint32_t serverId, bool ok, bool fromRedundancyPool) {
  const intptr_t lParam = (ok ? 1 : 0) | (fromRedundancyPool ? 0x10000 : 0);
  return platform::PostWindowMessage(g_hMainWnd.load(), WM_SERVER_STATE, serverId, lParam);
}
