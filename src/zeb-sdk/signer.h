// Signature of management-API requests: percent-encoding, HMAC-SHA1 and the Base64
// signature of a canonical query.
#ifndef ZEB_SDK_SIGNER_H
#define ZEB_SDK_SIGNER_H

#include "sds.h"

// Values of the SignatureMethod ("HMAC-SHA1") and SignatureVersion ("1.0") parameters.
[[nodiscard]] const char* signer_get_method();
[[nodiscard]] const char* signer_get_version();

// Writes the 28-character Base64 signature of `query` under `secret` + "&" into output
// (no NUL added). 28, or -1 when an argument is null, memory is short or capacity < 28.
[[nodiscard]] int signer_generate(char* output, int capacity, const char* query,
                                  const char* secret);
// Unreserved characters (A-Z a-z 0-9 - _ . ~) kept, every other byte as %XX. Null when
// memory is short or text is null.
[[nodiscard]] sds signer_percent_encode(const char* text);
// Raw HMAC-SHA1 of text under key into 20 bytes. 20, or -1 when a pointer is null.
[[nodiscard]] int signer_hmac_sha1(const char* text, const char* key, unsigned char* digest);

// Copy of a query, URL or string to sign with the SecurityToken value replaced by "***",
// fit for a log line. Handles the plain (SecurityToken=v&) and the encoded
// (SecurityToken%3Dv%26) form. Null when memory is short.
[[nodiscard]] sds signer_redact_token(const char* text);

#endif
