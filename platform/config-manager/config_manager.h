// Gateway configuration-manager client library (stand-in of the closed gateway library).
//
// Every call is one blocking method call on the given bus connection to the
// configuration-manager service ("iot.gateway.config"), waiting at most timeout_ms
// (a negative timeout means the libdbus default). The connection stays the caller's;
// calls on one connection may come from several threads.
//
// Results: 0 success; CONFIG_ERR_NOT_FOUND (100100) when the key does not exist; any
// other non-zero value is a failure (see the CONFIG_ERR_* codes).
//
// Keys and values are UTF-8 texts without NUL; keys are not empty.
#ifndef GATEWAY_CONFIG_MANAGER_H
#define GATEWAY_CONFIG_MANAGER_H

#include <dbus/dbus.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    CONFIG_OK = 0,
    CONFIG_ERR_NOT_FOUND = 100100,   // the key does not exist
    CONFIG_ERR_INVALID = 100101,     // null, empty or non-UTF-8 argument, bad subscriber name
    CONFIG_ERR_NO_SERVICE = 100102,  // the service is not on the bus
    CONFIG_ERR_TIMEOUT = 100103,     // no answer within the timeout
    CONFIG_ERR_BUS = 100104,         // connection closed, out of memory, other bus error
    CONFIG_ERR_STORE = 100105,       // the service could not persist the change (nothing changed)
    CONFIG_ERR_PROTOCOL = 100106     // the answer was not understood
};

// Reads key. On success *value holds a NUL-terminated text allocated with malloc, which
// the caller releases with free; on failure *value is set to null.
int get_config(DBusConnection* conn, const char* key, char** value, int timeout_ms);

// Stores value under key (persisted before the call returns). Subscribers of the key are
// notified even when the value is unchanged.
int set_config(DBusConnection* conn, const char* key, const char* value, int timeout_ms);

// From now on the service calls notify_config (key, value), two strings, on the bus name
// subscriber for every change of key. type is kept with the subscription and reported
// back by listings; every type is notified alike. Subscribing again replaces the type.
int subscribe_config(DBusConnection* conn, const char* subscriber, const char* key, int type,
                     int timeout_ms);

// Removes the subscription of subscriber to key; 0 also when there was none.
int unsubscribe_config(DBusConnection* conn, const char* subscriber, const char* key,
                       int timeout_ms);

// Integrator extensions (used by cfgtool).

// Removes key; its subscribers are notified with an empty value. CONFIG_ERR_NOT_FOUND
// when it did not exist.
int delete_config(DBusConnection* conn, const char* key, int timeout_ms);

// All entries as malloc'ed text, one "key<TAB>value\n" line per key in key order, with
// backslash, tab, carriage return and line feed written as \\ \t \r \n.
int list_config(DBusConnection* conn, char** listing, int timeout_ms);

#ifdef __cplusplus
}
#endif

#endif
