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
