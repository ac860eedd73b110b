#include "Quorvane/config/hooks.h"

#include <atomic>

namespace {

CConfigEngineHooks g_defaultEngineHooks;
CCaptivePortalHooks g_defaultPortalHooks;
std::atomic<CConfigEngineHooks*> g_engineHooks{&g_defaultEngineHooks};
std::atomic<CCaptivePortalHooks*> g_portalHooks{&g_defaultPortalHooks};

}  // namespace

void CConfigEngineHooks::OnServerChange(int, const CDnsServer&, const CDnsServer&, bool) {}

bool CCaptivePortalHooks::IsDetectionRunning() const { return false; }
bool CCaptivePortalHooks::IsDetected() const { return false; }
void CCaptivePortalHooks::StartCheck() {}
std::string CCaptivePortalHooks::ConnectivityTestHost() const { return {}; }

void SetConfigEngineHooks(CConfigEngineHooks* hooks) {
  g_engineHooks.store(hooks ? hooks : &g_defaultEngineHooks, std::memory_order_release);
}

void SetCaptivePortalHooks(CCaptivePortalHooks* hooks) {
  g_portalHooks.store(hooks ? hooks : &g_defaultPortalHooks, std::memory_order_release);
}

CConfigEngineHooks& ConfigEngineHooks() { return *g_engineHooks.load(std::memory_order_acquire); }
CCaptivePortalHooks& CaptivePortalHooks() { return *g_portalHooks.load(std::memory_order_acquire); }
