// The management API's signature computed from the digest primitives:
// Base64(HMAC-SHA1(secret + "&", stringToSign)).
#ifndef SM_TEST_RPC_SIGNATURE_H
#define SM_TEST_RPC_SIGNATURE_H

#include <cstdint>
#include <string>

#include "digest.h"

inline std::string rpcSignature(const std::string& stringToSign, const std::string& secret) {
    const std::string key = secret + "&";
    unsigned char digest[kSha1DigestSize];
    hmac_sha1(reinterpret_cast<const unsigned char*>(stringToSign.data()),
              static_cast<uint32_t>(stringToSign.size()), digest,
              reinterpret_cast<const unsigned char*>(key.data()),
              static_cast<uint32_t>(key.size()));
    char out[32] = {};
    base64_encode(digest, sizeof digest, out, nullptr);
    return out;
}

#endif
