#pragma once
// The root certificates kit requests are pinned to, made once per process from
// DER blocks stored in the program; every caller gets the same list object.
// Any thread.
//
// Of the eight roots the kit service was pinned to, in order:
//   1. AddTrust External CA Root (AddTrust AB, 1082 bytes)                    left out
//   2. Entrust Root Certification Authority (Entrust, Inc., 1173 bytes)       stored
//   3. DigiCert High Assurance EV Root CA (DigiCert Inc, 969 bytes)           stored
//   4. VeriSign Class 3 Public Primary Certification Authority - G5
//      (VeriSign, Inc., 1239 bytes)                                            left out
//   5-8. VeriSign Class 1, 2, 3 and 4 Public Primary Certification Authority
//      - G3 (VeriSign, Inc., 1054, 1053, 1054 and 1054 bytes)                  left out
// Only the second and third are in Debian's ca-certificates, the source these
// blocks were taken from; the six others are not stored, so the list holds
// two certificates, in the order above.

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/net/Certificate.h"

const std::vector<net::Certificate>& BCNPinnedCertificates();

// A certificate from DER bytes; nullopt when they are none.
std::optional<net::Certificate> BCNCertificateCreateWithBytes(const uint8_t* bytes, size_t length);
