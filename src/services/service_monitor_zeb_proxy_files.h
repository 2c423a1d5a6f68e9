// Agent proxy, property files: the agent's serial-number and access-key files, written and
// read at their gateway paths or, for tests, at explicit ones.
// All operations return 0 on success and -1 on failure unless said otherwise.
#ifndef SERVICE_MONITOR_ZEB_PROXY_FILES_H
#define SERVICE_MONITOR_ZEB_PROXY_FILES_H

#include <cstdint>

struct AGENT_SECRET_T {
    char accessKey[64];
    char secretKey[64];
};

// The agent's serial-number file.
constexpr const char* kZebSerialFile = "/etc/vestrel/serial_number.properties";

// Writes kZebSerialFile.
[[nodiscard]] int zeb_proxy_set_serialnum(const char* serial);
// Reads the serial number into buf (len bytes, NUL included).
[[nodiscard]] int zeb_proxy_get_serialnum(char* buf, uint32_t len);
// Writes the access-key file only when its content would change.
[[nodiscard]] int sync_agent_secret(const AGENT_SECRET_T* keys);
// Writes the access-key file (mode 0600).
[[nodiscard]] int set_agent_serect(const AGENT_SECRET_T* keys);
// Reads the access-key file; 0 only when both keys were found.
[[nodiscard]] int get_agent_secret(AGENT_SECRET_T* out);
// Deletes the access-key file; -1 when there was none or it could not be removed.
int rm_agent_secret_file();

// The property-file operations above on explicit paths (dir is created on demand).
namespace zeb_proxy_files {
[[nodiscard]] int write_serialnum(const char* dir, const char* path, const char* serial);
[[nodiscard]] int read_serialnum(const char* path, char* buf, uint32_t len);
[[nodiscard]] int write_secret(const char* dir, const char* path, const AGENT_SECRET_T* keys);
[[nodiscard]] int read_secret(const char* path, AGENT_SECRET_T* out);
[[nodiscard]] int sync_secret(const char* dir, const char* path, const AGENT_SECRET_T* keys);
int remove_secret(const char* path);
}  // namespace zeb_proxy_files

#endif
