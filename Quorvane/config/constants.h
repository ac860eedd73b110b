// Host names the program is built with.
#pragma once

// The DoH endpoint of the NextDNS service; NextDNS servers are sent there.
inline constexpr char g_NextDnsDohHost[] = "dns.nextdns.io";

// A public domain that always resolves: what pools and server checks query
// to see whether a server answers.
inline constexpr char g_DefaultTestHost[] = "example.com";
