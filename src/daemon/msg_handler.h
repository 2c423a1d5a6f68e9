// The component handler: turns the configuration switches into running components.
// It and dbus_message_method include each other by design: the switch table calls the
// switch actions here, which run the DPS script runners there.
#ifndef SERVICE_MONITOR_MSG_HANDLER_H
#define SERVICE_MONITOR_MSG_HANDLER_H

#include <cstddef>
#include <cstdint>

#include "service_monitor_context.h"

struct CFG_CONN_T;

constexpr const char* kZebSwitchKey = "gw_zeb_switch";
constexpr const char* kDpsSwitchKey = "gw_dps_switch";
constexpr size_t kSwitchBufSize = 32;
// A stored switch is read up to this many times, kSwitchReadPauseMs apart, before the
// read gives up; the serial report at start-up is tried as often.
constexpr int kSwitchReadAttempts = 50;
constexpr int kSwitchReadPauseMs = 100;

constexpr uint64_t kMetricPeriodMs = 60000;

// Start-up: serial-number file, agent proxy, credential client, scheduler thread,
// metric data manager, stored switches. 0 or -1.
[[nodiscard]] int msg_handler_init(SERVICE_MONITOR_CTX_T* ctx);
// Stops the background threads that use the configuration connection, the metric data
// manager or the context (scheduler and metric manager), waiting until they let go.
// Runs at the start of the shutdown, before anything they use is released.
void msg_handler_quiesce(SERVICE_MONITOR_CTX_T* ctx);
// Teardown: agent proxy, credential client, metric data manager.
void msg_handler_deinit(SERVICE_MONITOR_CTX_T* ctx);

[[nodiscard]] int msg_handler_switch_zeb(SERVICE_MONITOR_CTX_T* ctx, int32_t value);
// Always 0.
int msg_handler_switch_dps(SERVICE_MONITOR_CTX_T* ctx, int32_t value);
[[nodiscard]] int msg_handler_report_zeb_serialnum(SERVICE_MONITOR_CTX_T* ctx);
// One read of a stored switch into text (kSwitchBufSize bytes): the configuration
// manager's result, 0 or kCfgNotFound, with text holding the value ("0" for a key that
// does not exist, which is off); on any other result text is "".
[[nodiscard]] int read_stored_switch(CFG_CONN_T* conn, const char* key, char* text);
// True when a switch text means on: atoi reads 1 ("1", " +1"); anything else is off.
[[nodiscard]] bool switch_text_is_on(const char* text);
// The switch last applied successfully: 1 on, 0 off, -1 never applied or unknown key.
[[nodiscard]] int msg_handler_switch_in_force(const char* key);

[[nodiscard]] int zeb_components_init(SERVICE_MONITOR_CTX_T* ctx);
[[nodiscard]] int recover_components_by_conf(SERVICE_MONITOR_CTX_T* ctx);

#endif
