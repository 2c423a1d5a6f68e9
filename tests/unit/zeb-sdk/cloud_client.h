// The cloud client as its units drive it: an owned client, one pointed at a local upload
// server, and the pieces of a raw HTTP request that the assertions read.
#ifndef SM_TEST_CLOUD_CLIENT_H
#define SM_TEST_CLOUD_CLIENT_H

#include <cstdio>
#include <memory>
#include <string>

#include "local_http_server.h"
#include "zeb-sdk.h"

struct ClientDeleter {
    void operator()(CloudSdkClient* c) const noexcept { CloudSdkDeinitIF(c); }
};
using ClientPtr = std::unique_ptr<CloudSdkClient, ClientDeleter>;

constexpr char kUploadPath[] = "/metric/product/tessar/user";

// The value of header `name` in a raw HTTP request.
inline std::string header(const std::string& request, const std::string& name) {
    const size_t at = request.find("\r\n" + name + ":");
    if (at == std::string::npos) return "<missing>";
    const size_t start = at + name.size() + 3;
    return request.substr(start, request.find("\r\n", start) - start);
}

inline std::string body(const std::string& request) {
    return request.substr(request.find("\r\n\r\n") + 4);
}

// A client whose uploads go to `server`, with the credential "AKID" / "upload-secret".
inline ClientPtr uploadClient(const char* token, const LocalHttpServer& server) {
    ClientPtr client(CloudSdkInitIF("AKID", "upload-secret", token, 0));
    snprintf(client->uploadUrl, sizeof client->uploadUrl, "%s", server.url(kUploadPath).c_str());
    return client;
}

#endif
