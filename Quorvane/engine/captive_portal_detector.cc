#include "Quorvane/engine/captive_portal_detector.h"

#include "Quorvane/config/hooks.h"

void CCaptivePortalDetector::StartCheck() { CaptivePortalHooks().StartCheck(); }
