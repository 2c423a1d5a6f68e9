#include "service_monitor_zeb_proxy_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common.h"
#include "raii.h"

namespace {

constexpr const char* kSerialDir = "/etc/vestrel";
constexpr const char* kSecretDir = "/harbex/gateway/build/bin/vestrel/config";
constexpr const char* kSecretFile =
    "/harbex/gateway/build/bin/vestrel/config/accesskey.properties";

}  // namespace

int zeb_proxy_set_serialnum(const char* serial) {
    return zeb_proxy_files::write_serialnum(kSerialDir, kZebSerialFile, serial);
}

int zeb_proxy_get_serialnum(char* buf, uint32_t len) {
    return zeb_proxy_files::read_serialnum(kZebSerialFile, buf, len);
}

int sync_agent_secret(const AGENT_SECRET_T* keys) {
    return zeb_proxy_files::sync_secret(kSecretDir, kSecretFile, keys);
}

int set_agent_serect(const AGENT_SECRET_T* keys) {
    return zeb_proxy_files::write_secret(kSecretDir, kSecretFile, keys);
}

int get_agent_secret(AGENT_SECRET_T* out) {
    return zeb_proxy_files::read_secret(kSecretFile, out);
}

int rm_agent_secret_file() { return zeb_proxy_files::remove_secret(kSecretFile); }


namespace {

constexpr size_t kLineBufSize = 128;  // lines are formatted and read in pieces of 127 bytes
constexpr mode_t kSerialFileMode = 0644;
constexpr mode_t kSecretFileMode = 0600;  // the access-key file holds a secret

// A value written into a one-line property must not be able to start a line of its own.
bool isLineSafe(const char* value, size_t size) {
    const size_t len = strnlen(value, size);
    return len < size && strpbrk(value, "\r\n") == nullptr;
}

bool validSecret(const AGENT_SECRET_T* keys) {
    return keys != nullptr && keys->accessKey[0] != '\0' && keys->secretKey[0] != '\0' &&
           isLineSafe(keys->accessKey, sizeof keys->accessKey) &&
           isLineSafe(keys->secretKey, sizeof keys->secretKey);
}

void makeDir(const char* dir) {
    if (mk_deeppath(dir) < 0) SM_LOG(3, "mkdir %s failed\n", dir);
}

// Creates or truncates path and gives it exactly mode, also when it already existed.
int openForWrite(const char* path, mode_t mode) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        SM_LOG(3, "open file(%s) failed\n", path);
        return -1;
    }
    if (fchmod(fd, mode) != 0) SM_LOG(3, "chmod %s failed:%s\n", path, strerror(errno));
    return fd;
}

// Formats one property line into a 128-byte buffer (cut after 127 bytes) and writes it.
bool writeProperty(int fd, const char* format, const char* value) {
    char line[kLineBufSize] = {};
    snprintf(line, sizeof line, format, value);
    const char* data = line;
    size_t left = strlen(line);
    while (left > 0) {
        const ssize_t n = write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// "key = value" -> value; blanks around "=" are allowed. false when no value follows.
bool scanValue(const char* line, char* value, const char* format) {
    return sscanf(line, format, value) == 1;
}

}  // namespace

namespace zeb_proxy_files {

int write_serialnum(const char* dir, const char* path, const char* serial) {
    if (serial == nullptr || strpbrk(serial, "\r\n") != nullptr) {
        SM_LOG(3, "invalid params\n");
        return -1;
    }
    makeDir(dir);
    const FileDescriptor fd(openForWrite(path, kSerialFileMode));
    if (fd.get() < 0) return -1;
    if (!writeProperty(fd.get(), "zeb.agent.serialNumber=%s\n", serial)) {
        SM_LOG(3, "write file(%s) failed:%s\n", path, strerror(errno));
        return -1;
    }
    return 0;
}

int read_serialnum(const char* path, char* buf, uint32_t len) {
    if (buf == nullptr) {
        SM_LOG(3, "invalid params\n");
        return -1;
    }
    const FilePtr file(fopen(path, "re"));
    if (!file) {
        SM_LOG(2, "open file %s failed!,err:%s\n", path, strerror(errno));
        return -1;
    }
    char line[kLineBufSize] = {};
    while (fgets(line, sizeof line, file.get()) != nullptr) {
        if (strstr(line, "zeb.agent.serialNumber") == nullptr) {
            SM_LOG(3, "no serial number was found in the %s\n", path);
            memset(line, 0, sizeof line);
            continue;
        }
        char value[kLineBufSize] = {};
        if (!scanValue(line, value, "%*[^=]=%127s")) {
            SM_LOG(3, "parse %s failed\n", line);
            return -1;
        }
        const size_t need = strlen(value) + 1;
        if (len < need) {
            SM_LOG(3, "input buffer is short, need %d bytes(%d)\n", static_cast<int>(need),
                   static_cast<int>(len));
            return -1;
        }
        snprintf(buf, len, "%s", value);
        return 0;
    }
    return -1;
}

int read_secret(const char* path, AGENT_SECRET_T* out) {
    if (out == nullptr) return -1;
    memset(out, 0, sizeof *out);
    const FilePtr file(fopen(path, "re"));
    if (!file) return -1;
    char line[kLineBufSize] = {};
    while (fgets(line, sizeof line, file.get()) != nullptr) {
        // The secret key counts only after the access key line: the order matters.
        if (out->accessKey[0] == '\0') {
            if (strstr(line, "zeb.agent.accesskey") != nullptr) {
                (void)scanValue(line, out->accessKey, "%*[^=]=%63s");
            }
        } else if (out->secretKey[0] != '\0') {
            break;
        } else if (strstr(line, "zeb.agent.secretkey") != nullptr) {
            (void)scanValue(line, out->secretKey, "%*[^=]=%63s");
        }
        memset(line, 0, sizeof line);
    }
    return out->accessKey[0] != '\0' && out->secretKey[0] != '\0' ? 0 : -1;
}

int write_secret(const char* dir, const char* path, const AGENT_SECRET_T* keys) {
    if (!validSecret(keys)) {
        SM_LOG(3, "invalid input\n");
        return -1;
    }
    makeDir(dir);
    const FileDescriptor fd(openForWrite(path, kSecretFileMode));
    if (fd.get() < 0) return -1;
    if (!writeProperty(fd.get(), "zeb.agent.accesskey=%s\n", keys->accessKey) ||
        !writeProperty(fd.get(), "zeb.agent.secretkey=%s\n", keys->secretKey)) {
        SM_LOG(3, "write file(%s) failed:%s\n", path, strerror(errno));
        return -1;
    }
    return 0;
}

int sync_secret(const char* dir, const char* path, const AGENT_SECRET_T* keys) {
    if (!validSecret(keys)) {
        SM_LOG(3, "invalid input\n");
        return -1;
    }
    AGENT_SECRET_T stored {};
    if (read_secret(path, &stored) != 0 ||
        strncmp(stored.accessKey, keys->accessKey, sizeof stored.accessKey) != 0 ||
        strncmp(stored.secretKey, keys->secretKey, sizeof stored.secretKey) != 0) {
        return write_secret(dir, path, keys);
    }
    SM_LOG(0, "agent key not changed and does not need to be updated\n");
    // A file left readable by others by an older writer is closed up without rewriting it.
    struct stat st {};
    if (stat(path, &st) == 0 && (st.st_mode & 07777) != kSecretFileMode &&
        chmod(path, kSecretFileMode) != 0) {
        SM_LOG(3, "chmod %s failed:%s\n", path, strerror(errno));
    }
    return 0;
}

int remove_secret(const char* path) {
    if (unlink(path) == 0) {
        SM_LOG(0, "delete %s success\n", path);
        return 0;
    }
    SM_LOG(0, "delete %s failed:%s\n", path, strerror(errno));
    return -1;
}

}  // namespace zeb_proxy_files
