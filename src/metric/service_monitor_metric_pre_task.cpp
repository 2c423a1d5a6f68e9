#include "service_monitor_metric_pre_task.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "cfg_client.h"
#include "common.h"
#include "dbus_message_credential.h"
#include "service_monitor_metric_self.h"
#include "zeb-sdk.h"

PRE_TASK_T g_preTasks[kPreTaskNum] = {
    {{false}, "GetProductKey", GetProductKeyTasK, 15000, {nullptr}},
    {{false}, "GetDeviceName", GetDeviceNameTask, 15000, {nullptr}},
    {{false}, "InitZEBSDK", InitZEBSDKTask, 15000, {nullptr}},
};

namespace {

constexpr int kCloudTimeoutSeconds = 10;
constexpr const char* kGroupName = "pxr::service-monitor";
constexpr const char* kInstanceCategory = "K8S_POD";

// Guards the rows' done flags together with the generation, so that a stop cannot come
// between a run's check of the generation and its mark. Never held across a call out.
std::mutex g_preTaskLock;
uint64_t g_preTaskGeneration = 0;

int _readConfig(METRIC_REGISTRATION_T* r, const char* key, char* buf, int size) {
    return r->readConfig(r->cfgConn, key, buf, size);
}

// Stores one of the name fields under the names lock, cut to its size.
template <size_t N>
void _storeName(METRIC_NAMES_T* names, char (&field)[N], const char* value) {
    const std::lock_guard<std::mutex> lock(names->lock);
    const size_t len = std::min(strlen(value), N - 1);
    memcpy(field, value, len);
    field[len] = '\0';
}

template <size_t N>
int _getKeyTask(TASK_NODE_T* task, PRE_TASK_T* row, const char* key,
                char (METRIC_NAMES_T::*member)[N]) {
    const uint64_t generation = pre_task_generation();
    METRIC_REGISTRATION_T* r = row->registration.load();
    char value[N] = {};
    if (_readConfig(r, key, value, N) != 0) {
        SM_LOG(2, "get %s failed\n", key);
        return -1;
    }
    _storeName(&r->names, r->names.*member, value);
    if (!mark_pre_task_done(task, row, generation)) return -1;
    SM_LOG(1, "get %s OK\n", key);
    return 0;
}

// Shutdown does not wait for the registration's remaining management calls.
bool _registrationGoesOn() { return !taskSchedulerStopping(); }

// The monitor group exists (found or created) and its id is in groupId.
bool _ensureGroup(METRIC_NAMES_T* names, CloudSdkClient* sdk) {
    char groupId[sizeof names->groupId] = {};
    if (CloudSdkGetGroupID(sdk, kGroupName, kCloudTimeoutSeconds, groupId, sizeof groupId) == 0 ||
        (_registrationGoesOn() &&
         CloudSdkCreateGroup(sdk, kGroupName, kCloudTimeoutSeconds, groupId, sizeof groupId) == 0)) {
        _storeName(names, names->groupId, groupId);
        return true;
    }
    SM_LOG(2, "create group(%s) failed\n", kGroupName);
    return false;
}

// The instance names as formed from the names read, and the group they belong to.
struct InstanceNames {
    char groupId[64];
    char name[128];
    char id[128];
};

InstanceNames _formInstanceNames(METRIC_NAMES_T* n) {
    InstanceNames names {};
    const std::lock_guard<std::mutex> lock(n->lock);
    memcpy(names.groupId, n->groupId, sizeof names.groupId);
    // Both names are cut to their 128-byte fields when the account id is long.
    const int nameLen = snprintf(names.name, sizeof names.name, "pxr:service-monitor::%s:%s/%s-NAME",
                                 n->accountId, n->productKey, n->deviceName);
    const int idLen = snprintf(names.id, sizeof names.id, "pxr:service-monitor::%s:%s/%s-ID",
                               n->accountId, n->productKey, n->deviceName);
    if (nameLen < 0 || idLen < 0) names.name[0] = names.id[0] = '\0';
    memcpy(n->instanceName, names.name, sizeof names.name);
    memcpy(n->instanceId, names.id, sizeof names.id);
    return names;
}

// This gateway is registered in the group (found, taking the name the service holds, or added).
bool _ensureInstance(METRIC_NAMES_T* n, CloudSdkClient* sdk) {
    InstanceNames names = _formInstanceNames(n);
    if (CloudSdkGetGroupInstance(sdk, names.groupId, names.id, kCloudTimeoutSeconds, names.name,
                                 sizeof names.name) == 0) {
        _storeName(n, n->instanceName, names.name);
        return true;
    }
    if (_registrationGoesOn() &&
        CloudSdkAddGroupInstance(sdk, names.groupId, names.id, names.name, kInstanceCategory,
                                 kCloudTimeoutSeconds) == 0) {
        return true;
    }
    SM_LOG(2, "create group instance(%s/%s-%s) failed\n", names.groupId, names.name, names.id);
    return false;
}

// The SDK handle, created on first use with the stored credential.
CloudSdkClient* _ensureSdk(METRIC_REGISTRATION_T* r, const CREDENTIAL_MSG_T& credential) {
    CloudSdkClient* sdk = r->sdkHandle.load();
    if (sdk != nullptr) return sdk;
    sdk = CloudSdkInitIF(credential.accessKeyId, credential.accessKeySecret,
                         credential.securityToken, 0);
    if (sdk == nullptr) {
        SM_LOG(2, "zeb sdk init failed\n");
        return nullptr;
    }
    r->sdkHandle.store(sdk);
    // A shutdown that came while the handle was made found none to abort: abort it here,
    // so that shutdown never waits for this registration's management calls.
    if (r->closing.load() && r->abortTransfers != nullptr) r->abortTransfers(sdk);
    return sdk;
}

}  // namespace

void metric_registration_use_defaults(METRIC_REGISTRATION_T* registration) {
    if (registration->readConfig == nullptr) registration->readConfig = cfgGetConfig;
    if (registration->abortTransfers == nullptr) registration->abortTransfers = CloudSdkAbort;
}

void metric_registration_close(METRIC_REGISTRATION_T* registration) {
    registration->closing = true;
    CloudSdkClient* const sdk = registration->sdkHandle.load();
    if (sdk != nullptr && registration->abortTransfers != nullptr) registration->abortTransfers(sdk);
}

void metric_registration_deinit(METRIC_REGISTRATION_T* registration) {
    CloudSdkDeinitIF(registration->sdkHandle.exchange(nullptr));
}

int metric_registration_update_credential(METRIC_REGISTRATION_T* registration,
                                          const char* accessKeyId, const char* accessKeySecret,
                                          const char* securityToken) {
    CloudSdkClient* const sdk = registration->sdkHandle.load();
    if (sdk == nullptr) return -1;
    return CloudSdkUpdateCredential(sdk, accessKeyId, accessKeySecret, securityToken);
}

int metric_registration_credential_callback(const CREDENTIAL_MSG_T* credential,
                                            void* registration) noexcept {
    return metric_registration_update_credential(static_cast<METRIC_REGISTRATION_T*>(registration),
                                                 credential->accessKeyId,
                                                 credential->accessKeySecret,
                                                 credential->securityToken) != 0
               ? -1
               : 0;
}

bool metric_register_gateway(METRIC_REGISTRATION_T* registration, CloudSdkClient* sdk) {
    METRIC_NAMES_T* const names = &registration->names;
    char accountId[sizeof names->accountId] = {};
    if (_readConfig(registration, "gw_account_id", accountId, sizeof accountId) != 0) {
        SM_LOG(2, "get config(%s) failed\n", "gw_account_id");
        return false;
    }
    _storeName(names, names->accountId, accountId);
    // A missing key is the usual case: off, and nothing to log.
    char selfMetrics[8] = {};
    const bool wanted =
        _readConfig(registration, kSelfMetricsKey, selfMetrics, sizeof selfMetrics) == 0 &&
        metric_self_switch(selfMetrics);
    if (!_ensureGroup(names, sdk) || !_registrationGoesOn() || !_ensureInstance(names, sdk)) {
        return false;
    }
    registration->selfMetrics = wanted;
    return true;
}

int GetProductKeyTasK(TASK_NODE_T* task, void* clientData) noexcept {
    auto* row = static_cast<PRE_TASK_T*>(clientData);
    return _getKeyTask(task, row, "gw_system_productkey", &METRIC_NAMES_T::productKey);
}

int GetDeviceNameTask(TASK_NODE_T* task, void* clientData) noexcept {
    auto* row = static_cast<PRE_TASK_T*>(clientData);
    return _getKeyTask(task, row, "gw_system_devicename", &METRIC_NAMES_T::deviceName);
}

int InitZEBSDKTask(TASK_NODE_T* task, void* clientData) noexcept {
    auto* row = static_cast<PRE_TASK_T*>(clientData);
    const uint64_t generation = pre_task_generation();
    METRIC_REGISTRATION_T* r = row->registration.load();
    CREDENTIAL_MSG_T credential {};
    if (credential_get_msg(&credential) != 0) {
        SM_LOG(0, "credential get msg failed\n");
        return -1;
    }
    CloudSdkClient* sdk = _ensureSdk(r, credential);
    if (sdk == nullptr || !metric_register_gateway(r, sdk)) return -1;
    if (!mark_pre_task_done(task, row, generation)) return -1;
    SM_LOG(1, "init zeb sdk success\n");
    return 0;
}

int start_pre_task(METRIC_REGISTRATION_T* registration) {
    registration->dependReady = 0;
    registration->selfMetrics = false;
    for (PRE_TASK_T& row : g_preTasks) {
        row.done = false;
        row.registration.store(registration);
        if (findScheduleTask(row.name) != nullptr) continue;
        if (addScheduleTask(row.name, 0, row.intervalMs, -1, row.func, &row) == nullptr) {
            SM_LOG(3, "add task(%s) failed\n", row.name);
            return -1;
        }
    }
    return 0;
}

int stop_pre_task(METRIC_REGISTRATION_T* registration) {
    registration->dependReady = 0;
    registration->selfMetrics = false;
    {
        const std::lock_guard<std::mutex> lock(g_preTaskLock);
        ++g_preTaskGeneration;
        for (PRE_TASK_T& row : g_preTasks) row.done = false;
    }
    for (const PRE_TASK_T& row : g_preTasks) (void)removeScheduleTaskByName(row.name);
    return 0;
}

namespace {

const PRE_TASK_T* _firstNotDone() {
    const auto notDone = [](const PRE_TASK_T& task) { return !task.done.load(); };
    const PRE_TASK_T* const row = std::find_if(std::begin(g_preTasks), std::end(g_preTasks), notDone);
    return row == std::end(g_preTasks) ? nullptr : row;
}

}  // namespace

int check_dependent_service(METRIC_REGISTRATION_T* registration) {
    if (const PRE_TASK_T* const row = _firstNotDone()) {
        SM_LOG(2, "service(%s) abnormal\n", row->name);
        return 0;
    }
    if (registration != nullptr) registration->dependReady.store(1);
    return 1;
}

bool pre_tasks_done() { return _firstNotDone() == nullptr; }

uint64_t pre_task_generation() {
    const std::lock_guard<std::mutex> lock(g_preTaskLock);
    return g_preTaskGeneration;
}

bool mark_pre_task_done(TASK_NODE_T* task, PRE_TASK_T* row, uint64_t generation) {
    {
        const std::lock_guard<std::mutex> lock(g_preTaskLock);
        if (generation != g_preTaskGeneration) return false;  // stopped meanwhile
        row->done = true;
    }
    removeScheduleTask(task);
    return true;
}

void hasten_pre_tasks() {
    const uint32_t now = 0;
    for (const PRE_TASK_T& row : g_preTasks) {
        if (row.done) continue;
        (void)updateScheduleTask(findScheduleTask(row.name), nullptr, &now, nullptr, nullptr,
                                 nullptr, nullptr);
    }
}
