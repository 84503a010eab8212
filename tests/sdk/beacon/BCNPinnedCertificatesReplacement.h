#pragma once
// Tests only: puts these DER certificates in place of the stored pins, so that
// kit requests trust a test server. Works only before the pins are first used
// in the process (answers whether it did); nothing in the program calls it.

#include <cstdint>
#include <vector>

bool BCNReplacePinnedCertificatesBeforeFirstUse(std::vector<std::vector<uint8_t>> ders);
