// Pieces of the cloud API client kept apart so that they can be tested and fuzzed without
// a network: the credential snapshot, the upload's string to sign and the reply parsers.
#ifndef ZEB_SDK_INTERNAL_H
#define ZEB_SDK_INTERNAL_H

#include <cstddef>

#include "sds.h"
#include "zeb-sdk.h"

// Copy of the client's credentials taken under its lock for the length of one request.
struct CloudSdkCredential {
    char accessKeyId[kAccessKeyIdSize];
    char accessKeySecret[kAccessKeySecretSize];
    char securityToken[kSecurityTokenSize];
};

void cloudSdkCopyCredential(CloudSdkClient* client, CloudSdkCredential* credential);

// The upload's string to sign: method, body digest, content type, date, the service
// headers in name order and the path. Null when memory is short.
[[nodiscard]] sds cloudSdkUploadStringToSign(const char* contentMd5, const char* date,
                                             const char* securityToken, const char* uploadPath);
// The upload's Authorization header line for a string to sign. Null when memory is short.
[[nodiscard]] sds cloudSdkUploadAuthorization(const char* stringToSign,
                                              const CloudSdkCredential* credential);

// Reply parsers of the monitor-group calls, applied to the body of an HTTP 200 answer
// (null when the body was empty). 0 and the output written, or -1 with a log line.
[[nodiscard]] int cloudSdkParseGroupIdReply(const char* body, const char* groupName, char* groupId,
                                            size_t groupIdSize);
[[nodiscard]] int cloudSdkParseCreateGroupReply(const char* body, char* groupId,
                                                size_t groupIdSize);
// Delete-group, add-instance and delete-instance replies: Code 200 or failure, no log line.
[[nodiscard]] int cloudSdkParseCodeReply(const char* body);
[[nodiscard]] int cloudSdkParseGroupInstanceReply(const char* body, char* instanceName,
                                                  size_t instanceNameSize);

#endif
