#include "msg_handler.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>

#include "cfg_client.h"
#include "common.h"
#include "dbus_message_credential.h"
#include "dbus_message_method.h"
#include "dbus_message_watchdog.h"
#include "msg_handler_credential.h"
#include "msg_handler_scheduler.h"
#include "service_monitor_metric_manager.h"
#include "service_monitor_zeb_proxy.h"
#include "service_monitor_zeb_proxy_files.h"
#include "task_scheduler.h"

namespace {

constexpr useconds_t kReadRetryPauseUs = kSwitchReadPauseMs * 1000;
constexpr size_t kSerialBufSize = 256;
constexpr const char* kEmptySerial = "\"\"";

constexpr auto kShutdownWaitStep = std::chrono::milliseconds(500);

// The switches last applied successfully (main thread only): -1 until then.
int g_zebInForce = -1;
int g_dpsInForce = -1;

bool fileExists(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0;
}

// Reads a switch key with the start-up retries; a missing key means "off". 0, or -1 when
// every attempt failed.
int readSwitch(CFG_CONN_T* conn, const char* key, const char* missingMsg, int* value) {
    for (int attempt = 0; attempt < kSwitchReadAttempts; ++attempt) {
        char text[kSwitchBufSize] = {};
        const int ret = read_stored_switch(conn, key, text);
        if (ret == 0 || ret == kCfgNotFound) {
            if (ret == kCfgNotFound) SM_LOG(1, missingMsg, key);
            *value = atoi(text);
            return 0;
        }
        usleep(kReadRetryPauseUs);
    }
    SM_LOG(2, "Get config:%s failed!\n", key);
    return -1;
}

// The switch actions run on the main thread and wait for the configuration manager and
// the agent: the watchdog is fed between their steps.
int switchZebOn(SERVICE_MONITOR_CTX_T* ctx) {
    (void)openCredentialTask(ctx, kCredentialTaskIntervalMs, -1);  // stays armed if a later step fails
    (void)metric_data_manager_enable(ctx->metric_manager);
    AGENT_SECRET_T secret {};
    if (cfgGetConfig(ctx->cfg_conn, "gw_zeb_accessKey", secret.accessKey,
                     sizeof secret.accessKey) != 0) {
        SM_LOG(2, "get config(%s) failed\n", "gw_zeb_accessKey");
        return -1;
    }
    feed_dog_if_due(ctx);
    if (cfgGetConfig(ctx->cfg_conn, "gw_zeb_secretKey", secret.secretKey,
                     sizeof secret.secretKey) != 0) {
        SM_LOG(2, "get config(%s) failed\n", "gw_zeb_secretKey");
        return -1;
    }
    if (sync_agent_secret(&secret) != 0) {
        SM_LOG(3, "write proxy serect failed\n");
        return -1;
    }
    feed_dog_if_due(ctx);
    if (zeb_proxy_start() != 0) {
        SM_LOG(3, "start zeb proxy failed\n");
        return -1;
    }
    return 0;
}

void switchZebOff(SERVICE_MONITOR_CTX_T* ctx) {
    // An agent that outlives SIGTERM is only reported: the proxy reaps it once it ends.
    if (zeb_proxy_stop() != 0) SM_LOG(2, "stop zeb proxy failed\n");
    feed_dog_if_due(ctx);
    (void)rm_agent_secret_file();
    (void)closeCredentialTask(ctx);
    (void)metric_data_manager_disable(ctx->metric_manager);
}

struct ManagerStop {
    METRIC_DATA_MANAGER_T* manager;
    std::promise<void> stopped;
};

void* stopManagerThread(void* arg) noexcept {
    auto* stop = static_cast<ManagerStop*>(arg);
    metric_data_manager_stop(stop->manager);
    stop->stopped.set_value();
    return nullptr;
}

// Stops the metric manager on a helper thread so that the main thread goes on feeding
// while an upload in flight ends; without a helper thread it is stopped here.
void stopManagerFeeding(SERVICE_MONITOR_CTX_T* ctx) {
    ManagerStop stop {ctx->metric_manager, {}};
    std::future<void> done = stop.stopped.get_future();
    JOINABLE_THREAD_T helper;
    if (joinable_thread_start(&helper, stopManagerThread, &stop) == 0) {
        while (done.wait_for(kShutdownWaitStep) != std::future_status::ready) feed_dog_if_due(ctx);
        joinable_thread_join(&helper);
    } else {
        metric_data_manager_stop(stop.manager);
    }
    feed_dog_if_due(ctx);
}

}  // namespace

int zeb_components_init(SERVICE_MONITOR_CTX_T* ctx) {
    char serial[kSerialBufSize] = {};
    if (cfgGetConfig(ctx->cfg_conn, "vt_serialNumber", serial, sizeof serial) == 0 &&
        !fileExists(kZebSerialFile)) {
        if (zeb_proxy_set_serialnum(serial) != 0) {
            SM_LOG(2, "set serialnum failed\n");
        } else {
            SM_LOG(0, "set serialnum %s\n", serial);
        }
    }
    if (zeb_proxy_init() != 0) {
        SM_LOG(2, "zeb proxy init failed\n");
        return -1;
    }
    return 0;
}

int read_stored_switch(CFG_CONN_T* conn, const char* key, char* text) {
    text[0] = '\0';
    const int ret = cfgGetConfig(conn, key, text, static_cast<int>(kSwitchBufSize));
    if (ret == kCfgNotFound) snprintf(text, kSwitchBufSize, "%s", "0");
    return ret;
}

bool switch_text_is_on(const char* text) { return atoi(text) == 1; }

int recover_components_by_conf(SERVICE_MONITOR_CTX_T* ctx) {
    int zebSwitch = 0;
    int dpsSwitch = 0;
    if (readSwitch(ctx->cfg_conn, kZebSwitchKey, "config(%s) not exists and stop zeb plugin\n",
                   &zebSwitch) != 0 ||
        readSwitch(ctx->cfg_conn, kDpsSwitchKey, "config(%s) not exists and stop dps plugin\n",
                   &dpsSwitch) != 0) {
        return -1;
    }
    SM_LOG(1, "ZEB switch:%d\n", zebSwitch);
    SM_LOG(1, "DPS switch:%d\n", dpsSwitch);
    if (msg_handler_switch_zeb(ctx, zebSwitch) != 0) SM_LOG(2, "switch zeb failed\n");
    if (msg_handler_switch_dps(ctx, dpsSwitch) != 0) SM_LOG(2, "switch dps failed\n");
    for (int attempt = 0; msg_handler_report_zeb_serialnum(ctx) != 0;) {
        usleep(kReadRetryPauseUs);
        if (++attempt == kSwitchReadAttempts) {
            SM_LOG(2, "report serial num failed\n");
            return -1;
        }
    }
    return 0;
}

int msg_handler_init(SERVICE_MONITOR_CTX_T* ctx) {
    if (zeb_components_init(ctx) != 0) {
        SM_LOG(2, "zeb componnents init failed\n");
        return -1;
    }
    if (credential_init(ctx->cfg_conn) != 0) SM_LOG(2, "credential init failed\n");
    if (initTaskScheduler() != 0) SM_LOG(3, "init task scheduler faild\n");
    if (startSchedulerThread(ctx) != 0) {
        SM_LOG(3, "create task scheduler thread failed\n");
        return -1;
    }
    ctx->metric_manager = metric_data_manager_init(ctx->cfg_conn, kMetricPeriodMs);
    if (ctx->metric_manager == nullptr) {
        SM_LOG(3, "init metric data manager failed\n");
        return -1;
    }
    if (recover_components_by_conf(ctx) != 0) {
        SM_LOG(2, "recover components failed\n");
        return -1;
    }
    return 0;
}

void msg_handler_quiesce(SERVICE_MONITOR_CTX_T* ctx) {
    if (ctx == nullptr) return;
    requestSchedulerStop();
    // The manager abandons its transfers, which also ends a management call of a pre-task
    // in flight on the scheduler thread.
    if (ctx->metric_manager != nullptr) stopManagerFeeding(ctx);
    joinSchedulerThread(ctx);
}

void msg_handler_deinit(SERVICE_MONITOR_CTX_T* ctx) {
    if (ctx == nullptr) return;
    (void)zeb_proxy_deinit();
    credential_deinit();
    if (ctx->metric_manager != nullptr) {
        metric_data_manager_deinit(ctx->metric_manager);
        ctx->metric_manager = nullptr;
    }
}

int msg_handler_switch_zeb(SERVICE_MONITOR_CTX_T* ctx, int32_t value) {
    if (ctx == nullptr) return -1;
    SM_LOG(0, "config(switch) changed:%d\n", value);
    if (value == 1) {
        const int ret = switchZebOn(ctx);
        if (ret == 0) g_zebInForce = 1;
        return ret;
    }
    switchZebOff(ctx);
    g_zebInForce = 0;
    return 0;
}

int msg_handler_switch_dps(SERVICE_MONITOR_CTX_T* /*ctx*/, int32_t value) {
    g_dpsInForce = value == 1 ? 1 : 0;
    return value == 1 ? start_dps() : stop_dps();
}

int msg_handler_switch_in_force(const char* key) {
    if (key == nullptr) return -1;
    if (strcmp(key, kZebSwitchKey) == 0) return g_zebInForce;
    if (strcmp(key, kDpsSwitchKey) == 0) return g_dpsInForce;
    return -1;
}

int msg_handler_report_zeb_serialnum(SERVICE_MONITOR_CTX_T* ctx) {
    if (ctx == nullptr) {
        SM_LOG(3, "The params is NULL\n");
        return -1;
    }
    char serial[kSerialBufSize] = {};
    if (zeb_proxy_get_serialnum(serial, sizeof serial) == 0) {
        if (cfgSetConfig(ctx->cfg_conn, "vt_serialNumber", serial) != 0) {
            SM_LOG(2, "set config(%s) failed\n", "vt_serialNumber");
            return -1;
        }
        feed_dog_if_due(ctx);
        if (cfgSetConfig(ctx->cfg_conn, "gw_zeb_serialNumber", serial) != 0) {
            SM_LOG(2, "set config(%s) failed\n", "gw_zeb_serialNumber");
        }
        SM_LOG(1, "report serialNum(%s) to config-manager\n", serial);
        return 0;
    }
    SM_LOG(2, "get serialnum failed, write empty string(%s=\"\") to config-manager\n",
           "gw_zeb_serialNumber");
    if (cfgSetConfig(ctx->cfg_conn, "gw_zeb_serialNumber", kEmptySerial) != 0) {
        SM_LOG(2, "set config(%s) failed\n", "gw_zeb_serialNumber");
        return -1;
    }
    (void)msg_handler_switch_zeb(ctx, 0);
    return 0;
}
