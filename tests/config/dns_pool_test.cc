#include "Quorvane/config/dns_pool.h"

#include <gtest/gtest.h>

namespace {

CDnsServer Make(uint32_t id, EDnsProtocol protocol, bool noPadding = false) {
  CDnsServer s;
  s.id = id;
  s.protocol = protocol;
  s.dnscrypt_disable_padding = noPadding;
  return s;
}

const std::vector<CDnsServer> kServers = {
    Make(1, EDnsProtocol::DnsCrypt), Make(2, EDnsProtocol::DnsCrypt), Make(3, EDnsProtocol::Relay),
    Make(4, EDnsProtocol::Plain),    Make(5, EDnsProtocol::DnsCrypt, true), Make(6, EDnsProtocol::Doh),
};

TEST(DnsPool, Defaults) {
  CDnsPool pool;
  EXPECT_EQ(pool.type, EPoolType::Redundancy);
  EXPECT_EQ(pool.testHost, g_DefaultTestHost);
  EXPECT_EQ(pool.recheckDelaySec, 60);
}

TEST(DnsPool, ValidateStopsAtTheFirstFailure) {
  struct Case {
    const char* name;
    std::vector<uint32_t> servers, relays;
    EPoolType type;
    const wchar_t* error;  // nullptr: valid
  };
  const Case cases[] = {
      {"no_servers_before_bad_relays", {}, {99}, EPoolType::Balancing, L"Pool P does not have any servers."},
      {"missing_relay", {1}, {99}, EPoolType::Balancing, L"Pool P cannot refer to nonexistent relay server ID 99."},
      {"relay_not_relay", {1}, {4}, EPoolType::Balancing,
       L"Pool P cannot refer to relay server (ID=4) with non-relay protocol Plain"},
      {"missing_server", {1, 77}, {}, EPoolType::Balancing, L"Pool P cannot refer to nonexistent server ID 77."},
      {"relay_as_member", {3}, {}, EPoolType::Balancing, L"Pool P cannot refer to DNS server (ID=3) as to relay."},
      {"non_dnscrypt_with_relays", {6}, {3}, EPoolType::Balancing,
       L"Pool P cannot refer to DNS server (ID=6) with protocol DNS over HTTPS. Only DNSCrypt servers can be used "
       L"with relays."},
      {"no_padding_with_relays", {5}, {3}, EPoolType::Balancing,
       L"Pool P cannot refer to DNSCrypt server (ID=5) because query padding is disabled for this server."},
      {"redundancy_one_server_relays", {1}, {3}, EPoolType::Redundancy, nullptr},
      {"redundancy_two_servers_relays", {1, 2}, {3}, EPoolType::Redundancy,
       L"Redundancy Pool P may have only one server because it has relays. Change the pool type or keep one server "
       L"only."},
      {"balancing_two_servers_relays", {1, 2}, {3}, EPoolType::Balancing, nullptr},
      {"mixed_without_relays", {4, 6, 5}, {}, EPoolType::Redundancy, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CDnsPool pool;
    pool.name = L"P";
    pool.serverIds = c.servers;
    pool.relayIds = c.relays;
    pool.type = c.type;
    std::wstring error;
    EXPECT_EQ(pool.Validate(kServers, error), c.error == nullptr);
    EXPECT_EQ(error, c.error ? c.error : L"");
  }
}

TEST(DnsPool, MemberServersInOrderWithFilter) {
  CDnsPool pool;
  pool.serverIds = {2, 99, 1, 6};
  pool.relayIds = {3};
  auto ids = [](const std::vector<CDnsServer>& list) {
    std::vector<uint32_t> out;
    for (const auto& s : list) out.push_back(s.id);
    return out;
  };
  EXPECT_EQ(ids(pool.GetMemberServers(kServers, EDnsProtocol::Unspec)), (std::vector<uint32_t>{2, 1, 6, 3}));
  EXPECT_EQ(ids(pool.GetMemberServers(kServers, EDnsProtocol::DnsCrypt)), (std::vector<uint32_t>{2, 1}));
  EXPECT_EQ(ids(pool.GetMemberServers(kServers, EDnsProtocol::Relay)), (std::vector<uint32_t>{3}));
}

TEST(DnsPool, TypeNamesAndDisplayName) {
  CDnsPool pool;
  pool.name = L"Office";
  pool.type = EPoolType::Balancing;
  EXPECT_EQ(pool.GetTypeName(false), "balancing");
  EXPECT_EQ(pool.GetTypeName(true), "Load Balancing");
  EXPECT_EQ(pool.GetDisplayName(), L"Office [Load Balancing]");
  pool.type = static_cast<EPoolType>(3);
  EXPECT_THROW(pool.GetTypeName(false), std::out_of_range);

  std::vector<CDnsPool> pools(2);
  pools[1].id = 1001;
  EXPECT_EQ(FindPoolIndexById(pools, 1001), 1);
  EXPECT_EQ(FindPoolIndexById(pools, 1), -1);
}

}  // namespace
