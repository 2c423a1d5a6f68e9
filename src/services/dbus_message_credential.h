// Gateway credential client: one process-wide short-lived cloud credential, fetched from
// the gateway credential service over the configuration-manager connection.
#ifndef SERVICE_MONITOR_DBUS_MESSAGE_CREDENTIAL_H
#define SERVICE_MONITOR_DBUS_MESSAGE_CREDENTIAL_H

#include <pthread.h>

#include <cstdint>

#include "cfg_client.h"

struct CREDENTIAL_MSG_T {
    char accessKeyId[128];
    char accessKeySecret[128];
    char securityToken[576];
    uint64_t expireTimeMs;  // wall-clock ms since the epoch; 0 while none is stored
};

struct CREDENTIAL_CTX_T {
    int32_t valid;  // 1 once a refresh has stored a credential
    CREDENTIAL_MSG_T credential;
    CFG_CONN_T* connection;  // borrowed, never closed here
    pthread_mutex_t mutex;   // guards valid, credential and connection; held only to copy
};

// Receives a copy of the stored credential after a successful refresh; result ignored.
using CREDENTIAL_CALLBACK_T = int (*)(const CREDENTIAL_MSG_T* credential,
                                      void* clientData) noexcept;

// Empties the record and remembers the connection. -1 for a null connection.
[[nodiscard]] int credential_init(CFG_CONN_T* conn);
// Forgets the connection; the record itself lives until the process ends.
void credential_deinit();
// Copies the stored credential into dst: 0, or -1 (silently) while none is stored.
[[nodiscard]] int credential_get_msg(CREDENTIAL_MSG_T* dst);
// Stores a credential expiring durationSeconds from now, in one locked step.
[[nodiscard]] int set_credential_msg(CREDENTIAL_MSG_T* dst, const char* accessKeyId,
                                     const char* accessKeySecret, const char* securityToken,
                                     double durationSeconds);
// Parses a getCredential reply and stores it through set_credential_msg.
[[nodiscard]] int credential_msg_parse(CREDENTIAL_MSG_T* dst, const char* jsonText);
// One getCredential call (3000 ms at most) and parse into the record.
[[nodiscard]] int update_credential(CREDENTIAL_CTX_T* ctx);
// True when a stored credential's time is over: nowMs (wall clock) is later than its
// expiry. One that was never stored (expiry 0) has not expired; there is none to renew.
[[nodiscard]] bool credential_expired(const CREDENTIAL_MSG_T* credential, uint64_t nowMs);
// Fetches and stores a new credential, then hands a copy to callback (may be null).
// 0 when a new credential was stored, -1 otherwise (the previous one stays in force).
[[nodiscard]] int refresh_credential(CREDENTIAL_CALLBACK_T callback, void* clientData);

#endif
