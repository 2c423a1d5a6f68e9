// Monitor-group management calls: each one is a signed GET whose JSON reply is checked by
// its own parser.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "common.h"
#include "raii.h"
#include "guider.h"
#include "zeb-sdk-internal.h"
#include "zeb-sdk.h"

namespace {

struct Param {
    const char* key;
    const char* value;
};

// Signs the call's parameters with a snapshot of the credentials and fetches the URL.
// The HTTP status, or -1.
long requestGroupCall(CloudSdkClient* client, ParamList* params, int timeoutSeconds,
                      HTTPResponse* response) {
    CloudSdkCredential credential;
    cloudSdkCopyCredential(client, &credential);
    const SdsPtr url(buildRpcHttpsRequest(client->apiHost, params, credential.accessKeyId,
                                          credential.accessKeySecret, credential.securityToken));
    if (!url) {
        SM_LOG(2, "build rpc params failed\n");
        return -1;
    }
    const long status =
        HTTPDataGet(client, url.get(), timeoutSeconds, WriteMemoryCallback, response);
    PrintHttpPacket(status, "GET", url.get(), nullptr, response->data);
    return status;
}

// Common course of a call: parameters, signed GET, and the parser on an HTTP 200 body.
// A parameter without a value (a null argument) fails the call before anything is sent.
template <typename Parse>
int runGroupCall(CloudSdkClient* client, const char* action, std::initializer_list<Param> params,
                 int timeoutSeconds, Parse parse) {
    if (client == nullptr) return -1;
    const ParamListPtr list(paramListNew());
    if (!list) return -1;
    bool ok = paramListAdd(list.get(), "Action", action) == 0;
    for (const Param& p : params) ok = ok && paramListAdd(list.get(), p.key, p.value) == 0;
    if (!ok) {
        SM_LOG(2, "build rpc params failed\n");
        return -1;
    }
    HTTPResponse response;
    (void)HTTPResponseInit(&response);
    const long status = requestGroupCall(client, list.get(), timeoutSeconds, &response);
    const int result = status == 200 ? parse(response.data) : -1;
    HTTPResponseFree(&response);
    return result;
}

bool hasCode200(const cJSON* root) {
    const cJSON* code = cJSON_GetObjectItem(root, "Code");
    return cJSON_IsNumber(code) && code->valueint == 200;
}

int matchGroupId(const char* body, const char* groupName, char* groupId, size_t groupIdSize) {
    const CJsonPtr root(cJSON_Parse(body));
    if (!root) {
        SM_LOG(2, "parse json failed!:%s\n", body != nullptr ? body : "");
        return -1;
    }
    const cJSON* resource = getResourceFromBody(root.get());
    if (resource == nullptr) {
        SM_LOG(2, "json object(%s) is invalid\n", "Resource");
        return -1;
    }
    if (groupName == nullptr) return -1;
    const cJSON* child = nullptr;
    cJSON_ArrayForEach(child, resource) {
        const cJSON* name = cJSON_GetObjectItem(child, "GroupName");
        const cJSON* id = cJSON_GetObjectItem(child, "GroupId");
        if (cJSON_IsString(name) && name->valuestring != nullptr &&
            strcmp(name->valuestring, groupName) == 0 && cJSON_IsNumber(id)) {
            snprintf(groupId, groupIdSize, "%d", id->valueint);
            return 0;
        }
    }
    return -1;
}

}  // namespace

int cloudSdkParseGroupIdReply(const char* body, const char* groupName, char* groupId,
                              size_t groupIdSize) {
    const int result = matchGroupId(body, groupName, groupId, groupIdSize);
    if (result != 0) SM_LOG(2, "parse groupID failed\n");
    return result;
}

int cloudSdkParseCreateGroupReply(const char* body, char* groupId, size_t groupIdSize) {
    const CJsonPtr root(cJSON_Parse(body));
    if (!root) {
        SM_LOG(2, "%s is not valid json\n", body != nullptr ? body : "");
        return -1;
    }
    if (!hasCode200(root.get())) {
        SM_LOG(2, "%s is valid\n", "code");
        return -1;
    }
    const cJSON* id = cJSON_GetObjectItem(root.get(), "GroupId");
    if (!cJSON_IsNumber(id)) {
        SM_LOG(2, "%s is valid\n", "GroupId");
        return -1;
    }
    snprintf(groupId, groupIdSize, "%d", id->valueint);
    return 0;
}

int cloudSdkParseCodeReply(const char* body) {
    const CJsonPtr root(cJSON_Parse(body));
    return root && hasCode200(root.get()) ? 0 : -1;
}

int cloudSdkParseGroupInstanceReply(const char* body, char* instanceName, size_t instanceNameSize) {
    const CJsonPtr root(cJSON_Parse(body));
    if (!root) {
        SM_LOG(2, "%s is not valid json\n", body != nullptr ? body : "");
        return -1;
    }
    const cJSON* resource = getResourceFromBody(root.get());
    if (!cJSON_IsArray(resource)) {
        SM_LOG(2, "json object(%s) is invalid\n", "Resource");
        return -1;
    }
    const cJSON* name =
        cJSON_GetObjectItem(cJSON_GetArrayItem(resource, 0), "InstanceName");
    if (!cJSON_IsString(name) || name->valuestring == nullptr) {
        SM_LOG(2, "json object(%s) is invalid\n", "InstanceName");
        return -1;
    }
    snprintf(instanceName, instanceNameSize, "%s", name->valuestring);
    return 0;
}

int CloudSdkGetGroupID(CloudSdkClient* client, const char* groupName, int timeoutSeconds,
                       char* groupId, size_t groupIdSize) {
    if (groupId == nullptr) return -1;
    const auto parse = [&](const char* body) {
        return cloudSdkParseGroupIdReply(body, groupName, groupId, groupIdSize);
    };
    if (groupName == nullptr) {
        return runGroupCall(client, "DescribeMonitorGroups", {}, timeoutSeconds, parse);
    }
    return runGroupCall(client, "DescribeMonitorGroups", {{"GroupName", groupName}}, timeoutSeconds,
                        parse);
}

int CloudSdkCreateGroup(CloudSdkClient* client, const char* groupName, int timeoutSeconds,
                        char* groupId, size_t groupIdSize) {
    if (client == nullptr || groupName == nullptr || groupId == nullptr) return -1;
    return runGroupCall(client, "CreateMonitorGroup", {{"GroupName", groupName}}, timeoutSeconds,
                        [&](const char* body) {
                            return cloudSdkParseCreateGroupReply(body, groupId, groupIdSize);
                        });
}

int CloudSdkDeleteGroup(CloudSdkClient* client, const char* groupId, int timeoutSeconds) {
    if (client == nullptr || groupId == nullptr) return -1;
    return runGroupCall(client, "DeleteMonitorGroup", {{"GroupId", groupId}}, timeoutSeconds,
                        cloudSdkParseCodeReply);
}

int CloudSdkAddGroupInstance(CloudSdkClient* client, const char* groupId, const char* instanceId,
                             const char* instanceName, const char* category, int timeoutSeconds) {
    return runGroupCall(client, "CreateMonitorGroupInstances",
                        {{"GroupId", groupId},
                         {"Instances.1.Category", category},
                         {"Instances.1.InstanceId", instanceId},
                         {"Instances.1.InstanceName", instanceName},
                         {"Instances.1.RegionId", "cn-hangzhou"}},
                        timeoutSeconds, cloudSdkParseCodeReply);
}

int CloudSdkDeleteGroupInstance(CloudSdkClient* client, const char* groupId,
                                const char* instanceIdList, const char* category,
                                int timeoutSeconds) {
    return runGroupCall(
        client, "DeleteMonitorGroupInstances",
        {{"Category", category}, {"GroupId", groupId}, {"InstanceIdList", instanceIdList}},
        timeoutSeconds, cloudSdkParseCodeReply);
}

int CloudSdkGetGroupInstance(CloudSdkClient* client, const char* groupId, const char* instanceIds,
                             int timeoutSeconds, char* instanceName, size_t instanceNameSize) {
    if (instanceName == nullptr) return -1;
    return runGroupCall(client, "DescribeMonitorGroupInstances",
                        {{"GroupId", groupId}, {"InstanceIds", instanceIds}}, timeoutSeconds,
                        [&](const char* body) {
                            return cloudSdkParseGroupInstanceReply(body, instanceName,
                                                                   instanceNameSize);
                        });
}
