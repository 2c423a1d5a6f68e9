// Bus names and methods shared by the configuration-manager library, service and tool.
//
// Methods of kConfigInterface on kConfigPath at kConfigBusName (every reply starts with
// an int32 result code, see config_manager.h):
//   get_config (s key)                         -> (i code, s value)  value "" unless code 0
//   set_config (s key, s value)                -> (i code)
//   delete_config (s key)                      -> (i code)
//   list_config ()                             -> (i code, s listing)
//   subscribe_config (s subscriber, s key, i type) -> (i code)
//   unsubscribe_config (s subscriber, s key)   -> (i code)
// Notifications go to each subscriber's bus name as the method call
// notify_config (s key, s value) on kConfigPath / kConfigInterface.
#ifndef GATEWAY_CONFIG_MANAGER_PROTOCOL_H
#define GATEWAY_CONFIG_MANAGER_PROTOCOL_H

constexpr const char* kConfigBusName = "iot.gateway.config";
constexpr const char* kConfigPath = "/iot/gateway/config";
constexpr const char* kConfigInterface = "iot.gateway.config";
constexpr const char* kDefaultBusAddress = "unix:path=/tmp/var/run/mbusd/mbusd_socket";
constexpr const char* kDefaultStorePath = "/etc/gateway/config.store";

constexpr const char* kMethodGet = "get_config";
constexpr const char* kMethodSet = "set_config";
constexpr const char* kMethodDelete = "delete_config";
constexpr const char* kMethodList = "list_config";
constexpr const char* kMethodSubscribe = "subscribe_config";
constexpr const char* kMethodUnsubscribe = "unsubscribe_config";
constexpr const char* kMethodNotify = "notify_config";

#endif
