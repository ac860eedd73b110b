// The captive-portal detector, as far as the engine needs it: a failed
// request asks for a check. The detector goes through the configuration's
// captive-portal hook, which the application installs.
#pragma once

class CCaptivePortalDetector {
 public:
  // Starts a detection unless one started less than 3000 ms ago. Any thread.
  static void StartCheck();
};
