// The validation over zones signed in the test at a pinned time: verdicts of
// signed, broken, unsigned and denied answers, and how "root.key" is read.
#include "Quorvane/engine/dnssec/dnssec_validation.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/log_capture.h"
#include "tests/engine/dnssec/dnssec_fixture.h"

namespace {

using namespace dnssectest;

// Flips one byte of the last RRSIG's signature in the answer section.
Bytes FlipSignatureByte(const Bytes& answer) {
  ldns_pkt* pkt = nullptr;
  EXPECT_EQ(ldns_wire2pkt(&pkt, answer.data(), answer.size()), LDNS_STATUS_OK);
  ldns_rr_list* section = ldns_pkt_answer(pkt);
  for (size_t i = ldns_rr_list_rr_count(section); i-- > 0;) {
    ldns_rr* rr = ldns_rr_list_rr(section, i);
    if (ldns_rr_get_type(rr) != LDNS_RR_TYPE_RRSIG) continue;
    ldns_rdf* signature = ldns_rr_rdf(rr, 8);
    ldns_rdf_data(signature)[ldns_rdf_size(signature) / 2] ^= 0x01;
    break;
  }
  Bytes out = ToWire(pkt);
  ldns_pkt_free(pkt);
  return out;
}

// An answer for qname whose answer section holds another name's signed set.
Bytes OtherNamesSet(const CWorld& world, const std::string& qname) {
  Bytes real = world.Respond("www.secure.test.", LDNS_RR_TYPE_A, 7);
  ldns_pkt* pkt = nullptr;
  EXPECT_EQ(ldns_wire2pkt(&pkt, real.data(), real.size()), LDNS_STATUS_OK);
  ldns_rr* question = ldns_rr_list_rr(ldns_pkt_question(pkt), 0);
  ldns_rdf_deep_free(ldns_rr_owner(question));
  ldns_rr_set_owner(question, Name(qname));
  Bytes out = ToWire(pkt);
  ldns_pkt_free(pkt);
  return out;
}

// www.secure.test.'s signed answer plus an RRSIG without rdata: ldns reads
// it, but would assert on it in its signature checks.
Bytes WithEmptySignature(const CWorld& world) {
  Bytes out = world.Respond("www.secure.test.", LDNS_RR_TYPE_A, 1);
  const uint16_t count = static_cast<uint16_t>((out[6] << 8 | out[7]) + 1);
  // The record goes at the end of the answer section: the answer's last one.
  ldns_pkt* pkt = nullptr;
  EXPECT_EQ(ldns_wire2pkt(&pkt, out.data(), out.size()), LDNS_STATUS_OK);
  EXPECT_EQ(ldns_pkt_nscount(pkt) + ldns_pkt_arcount(pkt), 0u);
  ldns_pkt_free(pkt);
  out[6] = static_cast<uint8_t>(count >> 8);
  out[7] = static_cast<uint8_t>(count);
  const Bytes empty = {0xC0, 0x0C, 0x00, 0x2E, 0x00, 0x01, 0, 0, 1, 0x2C, 0x00, 0x00};
  out.insert(out.end(), empty.begin(), empty.end());
  return out;
}

// secure3.test.'s NXDOMAIN with its NSEC3 records claiming an unknown hash.
Bytes WithUnknownNsec3Hash(const CWorld& world) {
  Bytes answer = world.Respond("nx.secure3.test.", LDNS_RR_TYPE_A, 1);
  ldns_pkt* pkt = nullptr;
  EXPECT_EQ(ldns_wire2pkt(&pkt, answer.data(), answer.size()), LDNS_STATUS_OK);
  ldns_rr_list* authority = ldns_pkt_authority(pkt);
  for (size_t i = 0; i < ldns_rr_list_rr_count(authority); ++i) {
    ldns_rr* rr = ldns_rr_list_rr(authority, i);
    if (ldns_rr_get_type(rr) == LDNS_RR_TYPE_NSEC3) ldns_rdf_data(ldns_rr_rdf(rr, 0))[0] = 2;
  }
  Bytes out = ToWire(pkt);
  ldns_pkt_free(pkt);
  return out;
}

struct SVerdictCase {
  const char* name;
  Bytes answer;
  int status;
};

class Validation : public ::testing::TestWithParam<int> {};

std::vector<SVerdictCase> VerdictCases() {
  const CWorld& w = CDnssecScene::World();
  SResponseShape unsignedDenial;
  unsignedDenial.denialSignatures = false;
  SResponseShape forgedNx;
  forgedNx.forceEmpty = true;
  forgedNx.forceRcode = LDNS_RCODE_NXDOMAIN;
  SResponseShape forgedNoData;
  forgedNoData.forceEmpty = true;
  return {
      {"valid", w.Respond("www.secure.test.", LDNS_RR_TYPE_A, 1), 0},
      {"flipped_signature_byte", FlipSignatureByte(w.Respond("www.secure.test.", LDNS_RR_TYPE_A, 1)),
       LDNS_STATUS_CRYPTO_BOGUS},
      {"expired", w.Respond("www.expired.test.", LDNS_RR_TYPE_A, 1), LDNS_STATUS_CRYPTO_SIG_EXPIRED},
      {"unsigned", w.Respond("www.insecure.test.", LDNS_RR_TYPE_A, 1), LDNS_STATUS_CRYPTO_NO_RRSIG},
      {"no_set_for_the_question", OtherNamesSet(w, "other.secure.test."), dnssec::kDnssecNoResults},
      {"cname", w.Respond("alias.secure.test.", LDNS_RR_TYPE_A, 1), 0},
      {"nsec_nxdomain", w.Respond("nx.secure.test.", LDNS_RR_TYPE_A, 1), 0},
      {"nsec_nodata", w.Respond("www.secure.test.", LDNS_RR_TYPE_TXT, 1), 0},
      {"nsec_forged_nxdomain", w.Respond("www.secure.test.", LDNS_RR_TYPE_A, 1, forgedNx),
       LDNS_STATUS_DNSSEC_NSEC_RR_NOT_COVERED},
      {"nsec_forged_nodata", w.Respond("www.secure.test.", LDNS_RR_TYPE_A, 1, forgedNoData),
       LDNS_STATUS_DNSSEC_NSEC_RR_NOT_COVERED},
      {"nsec_unsigned_denial", w.Respond("nx.secure.test.", LDNS_RR_TYPE_A, 1, unsignedDenial),
       LDNS_STATUS_CRYPTO_NO_DNSKEY},
      {"nsec3_nxdomain", w.Respond("nx.secure3.test.", LDNS_RR_TYPE_A, 1), 0},
      {"nsec3_nodata", w.Respond("www.secure3.test.", LDNS_RR_TYPE_TXT, 1), 0},
      {"nsec3_forged_nxdomain", w.Respond("www.secure3.test.", LDNS_RR_TYPE_A, 1, forgedNx),
       LDNS_STATUS_DNSSEC_NSEC_RR_NOT_COVERED},
      {"nsec3_forged_nodata", w.Respond("www.secure3.test.", LDNS_RR_TYPE_A, 1, forgedNoData),
       LDNS_STATUS_NSEC3_ERR},
      {"unreadable", Bytes{0x12, 0x34, 0x81}, 51},
      // ldns would end the process on either: refused as unreadable.
      {"signature_without_rdata", WithEmptySignature(w), 51},
      {"nsec3_unknown_hash", WithUnknownNsec3Hash(w), 51},
  };
}

TEST_P(Validation, GivesTheVerdictOfTheChainOfTrust) {
  CDnssecScene scene;
  scene.WriteRootKey(CDnssecScene::World().AnchorText() + "\n");
  const SVerdictCase c = VerdictCases()[GetParam()];
  CFakeUpstream upstream(CDnssecScene::World());
  auto check = dnssec::DnssecCheckTask(c.answer, upstream.Send(), upstream.Poll());
  EXPECT_EQ(RunToEnd(check, upstream), c.status) << ::testing::PrintToString(upstream.asked);
}

INSTANTIATE_TEST_SUITE_P(Answers, Validation, ::testing::Range(0, static_cast<int>(VerdictCases().size())),
                         [](const auto& info) { return std::string(VerdictCases()[info.param].name); });

TEST(ValidationAnchors, WithoutAnAnchorASignedAnswerPassesAfterTheErrorLine) {
  CDnssecScene scene;
  testsupport::LogCapture log(LogDebug);
  CFakeUpstream upstream(CDnssecScene::World());
  auto check = dnssec::DnssecCheckTask(CDnssecScene::World().Respond("www.secure.test.", LDNS_RR_TYPE_A, 1),
                                       upstream.Send(), upstream.Poll());
  EXPECT_EQ(RunToEnd(check, upstream), 0);
  const std::vector<std::wstring> lines = log.TakeTexts();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], L"www.secure.test - DNSSEC check: no usable DNSSEC trust anchor (root.key)");
}

TEST(ValidationAnchors, AnAnchorOfAnotherZoneFailsTheChain) {
  CDnssecScene scene;
  // secure.test.'s own key is not what the chain ends in: test.'s is.
  scene.WriteRootKey(". IN DS 20326 8 2 E06D44B80B8F1D39A95C0B0D7C65D08458E880409BBC683457104237C7F8EC8D\n");
  CFakeUpstream upstream(CDnssecScene::World());
  auto check = dnssec::DnssecCheckTask(CDnssecScene::World().Respond("www.secure.test.", LDNS_RR_TYPE_A, 1),
                                       upstream.Send(), upstream.Poll());
  EXPECT_NE(RunToEnd(check, upstream), 0);
}

TEST(ValidationChain, AsksForEachKeyAndDelegationOnceUpTheChain) {
  CDnssecScene scene;
  scene.WriteRootKey(CDnssecScene::World().AnchorText() + "\n");
  CFakeUpstream upstream(CDnssecScene::World());
  upstream.hold = true;
  auto check = dnssec::DnssecCheckTask(CDnssecScene::World().Respond("www.secure.test.", LDNS_RR_TYPE_A, 1),
                                       upstream.Send(), upstream.Poll());
  int steps = 0;
  EXPECT_EQ(RunToEnd(check, upstream, &steps), 0);
  // One step per held answer: each sub-query suspends its chain once.
  EXPECT_EQ(static_cast<size_t>(steps), upstream.asked.size() + 1);
  // The DS set's own chain is followed before the key set's signatures are
  // fetched again, as ldns's builder does.
  EXPECT_EQ(upstream.asked, (std::vector<std::string>{"secure.test. 48", "secure.test. 43", "test. 48", "test. 43",
                                                      "test. 48", "secure.test. 48"}));
}

std::vector<std::string> ReadAnchors(std::string* errors = nullptr) {
  ldns_rr_list* anchors = ldns_rr_list_new();
  ::testing::internal::CaptureStderr();
  const ldns_enum_status status = dnssec::ReadTrustAnchors(anchors);
  const std::string err = ::testing::internal::GetCapturedStderr();
  if (errors) *errors = err;
  std::vector<std::string> out;
  for (size_t i = 0; i < ldns_rr_list_rr_count(anchors); ++i) out.push_back(RrText(ldns_rr_list_rr(anchors, i)));
  if (status != LDNS_STATUS_OK) out.push_back("status " + std::to_string(status));
  ldns_rr_list_deep_free(anchors);
  return out;
}

TEST(TrustAnchors, ARecordTypeNumberBeyondSixteenBitsIsSkipped) {
  // ldns takes the number whole; only a DNSKEY or DS may stay.
  std::string text = ". IN TYPE23804237 \\# 0\n. IN DS 20326 8 2 "
                     "E06D44B80B8F1D39A95C0B0D7C65D08458E880409BBC683457104237C7F8EC8D\n";
  FILE* file = fmemopen(text.data(), text.size(), "r");
  ASSERT_NE(file, nullptr);
  ldns_rr_list* anchors = ldns_rr_list_new();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(dnssec::ReadTrustAnchors(file, anchors), LDNS_STATUS_OK);
  // Read as a record, so it is its type that leaves it out.
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  std::fclose(file);
  ASSERT_EQ(ldns_rr_list_rr_count(anchors), 1u);
  EXPECT_EQ(ldns_rr_get_type(ldns_rr_list_rr(anchors, 0)), LDNS_RR_TYPE_DS);
  ldns_rr_list_deep_free(anchors);
}

TEST(TrustAnchors, LinesAreReadSkippedAndReportedByNumber) {
  CDnssecScene scene;
  const std::string ds = ". IN DS 20326 8 2 E06D44B80B8F1D39A95C0B0D7C65D08458E880409BBC683457104237C7F8EC8D";
  const std::string key = "test. IN DNSKEY 257 3 13 " + std::string("mdsswUyr3DPW132mOi8V9xESWE8jTo0dxCjjnopKl+GqJxpVXckHAeF+KkxLbxILfDLUT0rAK9iUzy1L53eKGQ==");
  scene.WriteRootKey("; a comment\n\n" + ds + "\r\n" + "www.test. IN A 192.0.2.1\n" + "this is no record\n" +
                     std::string(10229, 'x') + "tail\n" + key + "\n");
  std::string errors;
  const std::vector<std::string> anchors = ReadAnchors(&errors);
  ASSERT_EQ(anchors.size(), 2u) << errors;
  EXPECT_EQ(anchors[0].substr(0, 20), ".\t3600\tIN\tDS\t20326 8");
  EXPECT_EQ(anchors[1].substr(0, 5), "test.");
  // Lines 5 (no record), 6 (the first 10229 characters) and 7 (their rest).
  EXPECT_NE(errors.find("Error parsing DNSKEY RR in line 5: "), std::string::npos) << errors;
  EXPECT_NE(errors.find("Error parsing DNSKEY RR in line 6: "), std::string::npos) << errors;
  EXPECT_NE(errors.find("Error parsing DNSKEY RR in line 7: "), std::string::npos) << errors;
  EXPECT_EQ(errors.find("line 3"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("line 4"), std::string::npos) << errors;
}

TEST(TrustAnchors, TheCurrentFolderComesFirstThenTheProgramsAndAMissingFileNamesTheLastPath) {
  CDnssecScene scene;
  std::string errors;
  EXPECT_EQ(ReadAnchors(&errors), std::vector<std::string>{"status 11"});
  EXPECT_EQ(errors, "Error opening " + (scene.ProgramFolder() / "root.key").string() + ": No such file or directory\n");

  scene.WriteRootKey("test. IN DS 1 13 2 " + std::string(64, 'A') + "\n", true);
  EXPECT_EQ(ReadAnchors().size(), 1u);
  EXPECT_EQ(ReadAnchors()[0].substr(0, 18), "test.\t3600\tIN\tDS\t1");
  scene.WriteRootKey("test. IN DS 2 13 2 " + std::string(64, 'B') + "\n");
  EXPECT_EQ(ReadAnchors()[0].substr(0, 18), "test.\t3600\tIN\tDS\t2");
  // Only records of other types: nothing usable.
  scene.WriteRootKey("www.test. IN A 192.0.2.1\n");
  EXPECT_EQ(ReadAnchors(), std::vector<std::string>{"status 11"});
}

TEST(TrustAnchors, TheShippedFileHoldsTheRootsTwoDsRecords) {
  CDnssecScene scene;
  std::ifstream shipped(TARNWICK_SOURCE_DIR "/Quorvane/res/root.key");
  std::string text((std::istreambuf_iterator<char>(shipped)), {});
  ASSERT_FALSE(text.empty());
  scene.WriteRootKey(text);
  std::vector<std::string> anchors = ReadAnchors();
  ASSERT_EQ(anchors.size(), 2u);
  EXPECT_EQ(anchors[0].substr(0, 14), ".\t3600\tIN\tDS\t2");
  EXPECT_NE(anchors[0].find("20326 8 2 e06d44b80b8f1d39a95c0b0d7c65d08458e880409bbc683457104237c7f8ec8d"),
            std::string::npos);
  EXPECT_NE(anchors[1].find("38696 8 2 683d2d0acb8c9b712a1948b27f741219298d0a450d612c483af444a4c0fb2b16"),
            std::string::npos);
}

TEST(CacheLifetime, IsTheSmallestAnswerOrAuthorityTtlOfACacheableAnswer) {
  const CWorld& w = CDnssecScene::World();
  SResponseShape servfail;
  servfail.forceRcode = LDNS_RCODE_SERVFAIL;
  Bytes truncated = w.Respond("www.secure.test.", LDNS_RR_TYPE_A, 1);
  truncated[2] |= 0x02;
  struct {
    const char* name;
    Bytes answer;
    std::optional<uint32_t> lifetime;
  } cases[] = {
      {"answer_with_signature", w.Respond("www.secure.test.", LDNS_RR_TYPE_A, 1), 300},
      {"nxdomain_authority", w.Respond("nx.secure.test.", LDNS_RR_TYPE_A, 1), 300},
      {"servfail", w.Respond("www.secure.test.", LDNS_RR_TYPE_A, 1, servfail), std::nullopt},
      {"truncated", truncated, std::nullopt},
      {"no_records", w.Respond("test.", LDNS_RR_TYPE_DS, 1), std::nullopt},
      {"unreadable", Bytes{1, 2, 3}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(dnssec::DnssecCacheLifetime(c.answer.data(), c.answer.size()), c.lifetime);
  }
}

}  // namespace
