// Runs one call of the cloud client against a live service and prints its outcome as
//   result=<value> out=<output buffer or response body>
// Credentials come from CLOUD_ACCESS_KEY_ID, CLOUD_ACCESS_KEY_SECRET and CLOUD_SECURITY_TOKEN;
// the client's log lines go to standard error. Output buffers are allocated at exactly the
// size given, so a write past their end is caught by AddressSanitizer, and they are
// pre-filled with "UNTOUCHED" to show when a failing call leaves them alone.
//
// Usage: cloud_client_driver [--pre] [--timeout S] COMMAND ARG...
//   post BODY | get URL | get-group NAME SIZE | create-group NAME SIZE | delete-group ID
//   add-instance GID IID NAME CATEGORY | delete-instance GID IDLIST CATEGORY
//   get-instance GID IIDS SIZE
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "logger.h"
#include "zeb-sdk/zeb-sdk.h"

namespace {

struct Options {
    uint32_t preEnvironment = 0;
    int timeoutSeconds = 10;
    std::vector<std::string> args;  // command and its arguments
};

const char* env_or_empty(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

std::vector<char> make_output(const std::string& sizeText) {
    const size_t size = std::strtoul(sizeText.c_str(), nullptr, 10);
    std::vector<char> buffer(size, '\0');
    if (size > 0) snprintf(buffer.data(), size, "%s", "UNTOUCHED");
    return buffer;
}

int run_get(CloudSdkClient* client, const Options& opt) {
    HTTPResponse response{};
    if (HTTPResponseInit(&response) != 0) return 2;
    const long status = HTTPDataGet(client, opt.args[1].c_str(), opt.timeoutSeconds,
                                    WriteMemoryCallback,
                                    &response);
    printf("result=%ld out=%s\n", status, response.data != nullptr ? response.data : "");
    HTTPResponseFree(&response);
    return 0;
}

// Calls that fill a caller's buffer: get-group, create-group, get-instance.
int run_with_output(CloudSdkClient* client, const Options& opt) {
    const auto& a = opt.args;
    const std::string& cmd = a[0];
    std::vector<char> out = make_output(a.back());
    char* const data = out.empty() ? nullptr : out.data();
    int rc = -1;
    if (cmd == "get-group") {
        rc = CloudSdkGetGroupID(client, a[1].c_str(), opt.timeoutSeconds, data, out.size());
    } else if (cmd == "create-group") {
        rc = CloudSdkCreateGroup(client, a[1].c_str(), opt.timeoutSeconds, data, out.size());
    } else {
        rc = CloudSdkGetGroupInstance(client, a[1].c_str(), a[2].c_str(), opt.timeoutSeconds,
                                      data, out.size());
    }
    printf("result=%d out=%s\n", rc, data != nullptr ? data : "");
    return 0;
}

int run_command(CloudSdkClient* client, const Options& opt) {
    const auto& a = opt.args;
    const std::string& cmd = a[0];
    const auto need = [&a](size_t n) { return a.size() == n + 1; };
    int rc = -1;
    if (cmd == "post" && need(1)) {
        rc = CloudSdkPostMetricData(client, a[1].c_str(), opt.timeoutSeconds);
    } else if (cmd == "get" && need(1)) {
        return run_get(client, opt);
    } else if (((cmd == "get-group" || cmd == "create-group") && need(2)) ||
               (cmd == "get-instance" && need(3))) {
        return run_with_output(client, opt);
    } else if (cmd == "delete-group" && need(1)) {
        rc = CloudSdkDeleteGroup(client, a[1].c_str(), opt.timeoutSeconds);
    } else if (cmd == "add-instance" && need(4)) {
        rc = CloudSdkAddGroupInstance(client, a[1].c_str(), a[2].c_str(), a[3].c_str(),
                                      a[4].c_str(), opt.timeoutSeconds);
    } else if (cmd == "delete-instance" && need(3)) {
        rc = CloudSdkDeleteGroupInstance(client, a[1].c_str(), a[2].c_str(), a[3].c_str(),
                                         opt.timeoutSeconds);
    } else {
        fprintf(stderr, "unknown command or wrong number of arguments: %s\n", cmd.c_str());
        return 2;
    }
    printf("result=%d out=\n", rc);
    return 0;
}

bool parse_options(int argc, char** argv, Options* opt) {
    int i = 1;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
        if (strcmp(argv[i], "--pre") == 0) {
            opt->preEnvironment = 1;
        } else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
            opt->timeoutSeconds = atoi(argv[++i]);
        } else {
            return false;
        }
    }
    for (; i < argc; ++i) opt->args.emplace_back(argv[i]);
    return !opt->args.empty();
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parse_options(argc, argv, &opt)) {
        fprintf(stderr, "usage: %s [--pre] [--timeout S] COMMAND ARG...\n", argv[0]);
        return 2;
    }
    log_init("cloud_client_driver", 1, 0, 4);
    CloudSdkClient* client = CloudSdkInitIF(env_or_empty("CLOUD_ACCESS_KEY_ID"),
                                            env_or_empty("CLOUD_ACCESS_KEY_SECRET"),
                                            env_or_empty("CLOUD_SECURITY_TOKEN"),
                                            opt.preEnvironment);
    if (client == nullptr) {
        fprintf(stderr, "CloudSdkInitIF failed\n");
        return 2;
    }
    const int status = run_command(client, opt);
    fflush(stdout);
    CloudSdkDeinitIF(client);
    return status;
}
