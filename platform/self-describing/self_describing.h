// Gateway self-description library (stand-in of the closed gateway library).
//
// A process registers what it can do with registerAbility; the abilities are kept in the
// library, process-wide and thread-safe. When the process receives a getSelfDescribing
// method call (its arguments, if any, are ignored) it hands the call to
// methodCall_getAbilitiesMethod, which answers it with one string holding the JSON
// document
//   {"abilities":[{"name":"monitor","description":{"None":"None"}}]}
// with the abilities in registration order; a description that is JSON text appears as
// that JSON value, any other text as a JSON string.
#ifndef GATEWAY_SELF_DESCRIBING_H
#define GATEWAY_SELF_DESCRIBING_H

#include <dbus/dbus.h>

#ifdef __cplusplus
extern "C" {
#endif

// Registers (or, for a name already registered, replaces) an ability. conn is the
// process's bus connection (not used for the registration itself and may be null); a
// null description is registered as JSON null. 0 on success, -1 for a null or empty name,
// text that is not UTF-8, or lack of memory.
int registerAbility(DBusConnection* conn, const char* name, const char* description);

// Sends the answer to the getSelfDescribing call on conn (nothing when the caller asked
// for no reply). 0 on success, -1 when conn or call is null, call is not a method call,
// or the answer could not be built or queued.
int methodCall_getAbilitiesMethod(DBusConnection* conn, DBusMessage* call);

#ifdef __cplusplus
}
#endif

#endif
