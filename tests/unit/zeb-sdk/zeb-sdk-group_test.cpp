#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cloud_client.h"
#include "local_http_server.h"
#include "log_capture.h"
#include "zeb-sdk-internal.h"
#include "zeb-sdk.h"

namespace {

constexpr char kGroup[] = "pxr::service-monitor";

std::string groups(const std::string& resource, int code = 200) {
    return "{\"Code\":" + std::to_string(code) + ",\"Resources\":{\"Resource\":" + resource + "}}";
}

enum class Parser { GroupId, CreateGroup, Code, Instance };

// Runs one management-reply parser with an output buffer of `size`.
int parse(Parser parser, const std::string& body, char* out, size_t size) {
    switch (parser) {
        case Parser::GroupId: return cloudSdkParseGroupIdReply(body.c_str(), kGroup, out, size);
        case Parser::CreateGroup: return cloudSdkParseCreateGroupReply(body.c_str(), out, size);
        case Parser::Code: return cloudSdkParseCodeReply(body.c_str());
        case Parser::Instance: return cloudSdkParseGroupInstanceReply(body.c_str(), out, size);
    }
    return -2;
}

TEST(ManagementReply, ParsersTakeOnlyWellFormedReplies) {
    const std::string g = "\"GroupName\":\"pxr::service-monitor\"";
    const struct {
        Parser parser;
        std::string body;
        int rc;
        const char* out;  // failures leave the buffer as it was: "keep"
        const char* logged;
        size_t size = 64;
    } cases[] = {
        // The first exact name with a numeric id wins; Resource may be an object too.
        {Parser::GroupId,
         groups("[{\"GroupName\":\"PXR::service-monitor\",\"GroupId\":1},{" + g +
                ",\"GroupId\":\"2\"},{" + g + ",\"GroupId\":3},{" + g + ",\"GroupId\":4}]"),
         0, "3", ""},
        {Parser::GroupId, groups("{\"a\":{" + g + ",\"GroupId\":-17}}"), 0, "-17", ""},
        {Parser::GroupId, groups("[{" + g + ",\"GroupId\":123456}]"), 0, "123", "", 4},
        {Parser::GroupId, "not json", -1, "keep", "parse json failed!:not json"},
        {Parser::GroupId, groups("[]", 403), -1, "keep", "json object(Resource) is invalid"},
        {Parser::GroupId, "{\"Code\":200}", -1, "keep", "json object(Resource) is invalid"},
        {Parser::GroupId, groups("[{\"GroupName\":\"other\",\"GroupId\":1}]"), -1, "keep",
         "parse groupID failed"},
        {Parser::GroupId, groups("[{\"GroupName\":7,\"GroupId\":9}]"), -1, "keep",
         "parse groupID failed"},
        {Parser::GroupId, groups("42"), -1, "keep", "parse groupID failed"},
        {Parser::CreateGroup, "{\"Code\":200,\"GroupId\":4242}", 0, "4242", ""},
        {Parser::CreateGroup, "{oops", -1, "keep", "{oops is not valid json"},
        {Parser::CreateGroup, "{\"Code\":\"200\",\"GroupId\":1}", -1, "keep", "code is valid"},
        {Parser::CreateGroup, "{\"Code\":403,\"GroupId\":1}", -1, "keep", "code is valid"},
        {Parser::CreateGroup, "{\"Code\":200,\"GroupId\":\"1\"}", -1, "keep", "GroupId is valid"},
        {Parser::Code, "{\"Code\":200.0,\"Message\":\"ok\"}", 0, "keep", ""},
        {Parser::Code, "{\"Code\":\"200\"}", -1, "keep", ""},
        // Keys are matched without regard to case, as everywhere in the daemon; names are not.
        {Parser::Code, "{\"code\":200}", 0, "keep", ""},
        {Parser::GroupId,
         "{\"CODE\":200,\"resources\":{\"resource\":[{\"groupname\":\"pxr::service-monitor\","
         "\"groupid\":5}]}}",
         0, "5", ""},
        {Parser::Code, "[200]", -1, "keep", ""},
        {Parser::Code, "garbage", -1, "keep", ""},
        {Parser::Instance, groups("[{\"InstanceName\":\"gateway-01\"},{\"InstanceName\":\"x\"}]"),
         0, "gate", "", 5},
        {Parser::Instance, "<html>", -1, "keep", "<html> is not valid json"},
        {Parser::Instance, groups("[]"), -1, "keep", "json object(InstanceName) is invalid"},
        {Parser::Instance, groups("[{\"InstanceName\":5}]"), -1, "keep",
         "json object(InstanceName) is invalid"},
        {Parser::Instance, groups("[{\"InstanceName\":\"x\"}]", 500), -1, "keep",
         "json object(Resource) is invalid"},
    };
    for (const auto& c : cases) {
        auto& log = LogCapture::begin();
        char out[64] = "keep";
        EXPECT_EQ(parse(c.parser, c.body, out, c.size), c.rc) << c.body;
        EXPECT_STREQ(out, c.out) << c.body;
        EXPECT_NE(log.take().find(c.logged), std::string::npos) << c.body;
    }
    char out[8] = "keep";
    EXPECT_EQ(cloudSdkParseGroupIdReply(nullptr, kGroup, out, sizeof out), -1);
    EXPECT_EQ(cloudSdkParseCodeReply(nullptr), -1);
}

// Against an API host that refuses connections every call fails after a logged packet
// line that keeps the token hidden.
TEST(MonitorGroupCalls, TransportFailureFailsEveryCallWithoutLeakingTheToken) {
    const ClientPtr client(CloudSdkInitIF("AKID", "secret", "BearerToken77", 0));
    const std::string host = "127.0.0.1:" + std::to_string(closedLoopbackPort());
    client->apiHost = host.c_str();
    auto& log = LogCapture::begin();
    char out[64] = "keep";
    EXPECT_EQ(CloudSdkGetGroupID(client.get(), kGroup, 2, out, sizeof out), -1);
    EXPECT_EQ(CloudSdkCreateGroup(client.get(), kGroup, 2, out, sizeof out), -1);
    EXPECT_EQ(CloudSdkDeleteGroup(client.get(), "12", 2), -1);
    EXPECT_EQ(CloudSdkAddGroupInstance(client.get(), "12", "i-1", "gw", "K8S_POD", 2), -1);
    EXPECT_EQ(CloudSdkDeleteGroupInstance(client.get(), "12", "i-1", "K8S_POD", 2), -1);
    EXPECT_EQ(CloudSdkGetGroupInstance(client.get(), "12", "i-1", 2, out, sizeof out), -1);
    EXPECT_STREQ(out, "keep");
    const std::string text = log.take();
    EXPECT_EQ(text.find("BearerToken77"), std::string::npos) << text;
    for (const char* action : {"DescribeMonitorGroups", "CreateMonitorGroup", "DeleteMonitorGroup",
                               "CreateMonitorGroupInstances", "DeleteMonitorGroupInstances",
                               "DescribeMonitorGroupInstances"}) {
        EXPECT_NE(text.find("GET https://" + host + "/?AccessKeyId=AKID&Action=" + action + "&"),
                  std::string::npos)
            << action;
    }
    EXPECT_NE(text.find("&SecurityToken=***&Signature="), std::string::npos);
}

}  // namespace
