#include "dbus_message_watchdog.h"

#include "common.h"

namespace {

constexpr long kFeedIntervalSeconds = 4;

bool fedBefore(const SERVICE_MONITOR_CTX_T* ctx) {
    return ctx->last_feed_time.tv_sec != 0 || ctx->last_feed_time.tv_usec != 0;
}

}  // namespace

DBusMessage* new_feed_dog_signal(const char* service, const char* path, const char* loop,
                                 int seconds) {
    DBusMessagePtr msg(dbus_message_new_signal(path, kWatchdogName, "feedDog"));
    if (!msg || !dbus_message_set_destination(msg.get(), kWatchdogName)) return nullptr;
    const dbus_int32_t secs = seconds;
    if (!dbus_message_append_args(msg.get(), DBUS_TYPE_STRING, &service, DBUS_TYPE_STRING, &loop,
                                  DBUS_TYPE_INT32, &secs, DBUS_TYPE_INVALID)) {
        return nullptr;
    }
    return msg.release();
}

void feed_dog(DBusConnection* conn, int seconds) {
    DBusMessagePtr msg(new_feed_dog_signal(kServiceName, kServiceObjectPath, kWatchdogLoopName, seconds));
    if (msg && conn != nullptr) dbus_connection_send(conn, msg.get(), nullptr);
}

// Monotonic: a step of the wall clock must neither stop the feeds nor rush them.
void feed_dog_on_turn(SERVICE_MONITOR_CTX_T* ctx) {
    const uint64_t nowMs = get_monotonic_ms();
    const auto nowSeconds = static_cast<time_t>(nowMs / 1000u);
    if (!fedBefore(ctx) || nowSeconds - ctx->last_feed_time.tv_sec > kFeedIntervalSeconds) {
        feed_dog(ctx->bus_conn.get(), kWatchdogFeedSeconds);
        ctx->last_feed_time.tv_sec = nowSeconds;
        ctx->last_feed_time.tv_usec = static_cast<suseconds_t>((nowMs % 1000u) * 1000u);
    }
}

void feed_dog_if_due(SERVICE_MONITOR_CTX_T* ctx) {
    if (!fedBefore(ctx)) return;  // the watchdog hears of the daemon from the pump first
    feed_dog_on_turn(ctx);
}
