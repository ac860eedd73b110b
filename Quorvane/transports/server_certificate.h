// Whether a server certificate is trusted for the name a transport expects,
// for DNS over TLS and DNS over QUIC alike: its chain, built from the
// certificates the server sent, must reach a trusted anchor, every element
// must allow server authentication, and the leaf must carry the name.
// Threads: any; nothing here keeps state.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Quorvane/platform/cert_verify.h"

using PCertificateContext = std::shared_ptr<const platform::CertificateContext>;

// 0 when trusted; SEC_E_WRONG_PRINCIPAL (0x80090322) at once, without
// building a chain, for no certificate or an empty name; else the chain or
// policy error (0x800B0101, 0x800B0109, 0x800B010B, 0x800B010C, 0x800B010F,
// 0x800B0110). A name that is an IP address literal is matched against the
// certificate's IP addresses.
uint32_t VerifyServerCertificate(const PCertificateContext& certificate, const std::wstring& name);
// The same, and for a policy error one line on standard output:
// "Error 0x%x (%s) returned by CertVerifyCertificateChainPolicy!\n".
uint32_t VerifyServerCertificateQuic(const PCertificateContext& certificate, const std::wstring& name);
// "CERT_E_CN_NO_MATCH" ... for the chain engine's codes, "(unknown)" otherwise.
const char* CertificateErrorName(uint32_t code);

// The server's certificate (the list's first) with every sent certificate in
// its store; empty when the list is empty (error 87, ERROR_INVALID_PARAMETER)
// or a certificate cannot be decoded (error 0x8009310B, CRYPT_E_ASN1_BADTAG).
PCertificateContext LoadPeerCertificates(const std::vector<std::vector<uint8_t>>& certificates,
                                         uint32_t* error = nullptr);
