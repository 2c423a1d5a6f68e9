#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "local_http_server.h"
#include "log_capture.h"
#include "zeb-sdk/zeb-sdk-internal.h"
#include "zeb-sdk/zeb-sdk.h"

namespace {

constexpr char kGroup[] = "pxr::service-monitor";

std::string groupsReply(const std::string& resource, int code = 200) {
    return "{\"Code\":" + std::to_string(code) + ",\"Resources\":{\"Resource\":" + resource + "}}";
}

TEST(GroupIdReply, FirstExactNameWithNumericIdWins) {
    auto& log = LogCapture::begin();
    char id[64] = "untouched";
    const std::string reply = groupsReply(
        "[{\"GroupName\":\"PXR::service-monitor\",\"GroupId\":1},"
        "{\"GroupName\":\"pxr::service-monitor\",\"GroupId\":\"2\"},"
        "{\"GroupName\":\"pxr::service-monitor\",\"GroupId\":3},"
        "{\"GroupName\":\"pxr::service-monitor\",\"GroupId\":4}]");
    EXPECT_EQ(cloudSdkParseGroupIdReply(reply.c_str(), kGroup, id, sizeof id), 0);
    EXPECT_STREQ(id, "3");
    EXPECT_EQ(log.take(), "");
    // Resource given as an object is walked the same way.
    const std::string asObject =
        groupsReply("{\"a\":{\"GroupName\":\"pxr::service-monitor\",\"GroupId\":-17}}");
    EXPECT_EQ(cloudSdkParseGroupIdReply(asObject.c_str(), kGroup, id, sizeof id), 0);
    EXPECT_STREQ(id, "-17");
}

TEST(GroupIdReply, FailuresLeaveTheBufferAndSayWhy) {
    const struct {
        std::string body;
        const char* name;
        const char* line;
    } cases[] = {
        {"not json", kGroup, "parse json failed!:not json"},
        {"", kGroup, "parse json failed!:"},
        {groupsReply("[]", 403), kGroup, "json object(Resource) is invalid"},
        {"{\"Code\":200}", kGroup, "json object(Resource) is invalid"},
        {groupsReply("[{\"GroupName\":\"other\",\"GroupId\":1}]"), kGroup, "parse groupID failed"},
        {groupsReply("[{\"GroupName\":\"pxr::service-monitor\",\"GroupId\":\"9\"}]"), kGroup,
         "parse groupID failed"},
        {groupsReply("[{\"GroupName\":7,\"GroupId\":9}]"), kGroup, "parse groupID failed"},
        {groupsReply("[{\"GroupName\":\"pxr::service-monitor\",\"GroupId\":1}]"), nullptr,
         "parse groupID failed"},
        {groupsReply("42"), kGroup, "parse groupID failed"},
    };
    for (const auto& c : cases) {
        auto& log = LogCapture::begin();
        char id[8] = "keep";
        EXPECT_EQ(cloudSdkParseGroupIdReply(c.body.c_str(), c.name, id, sizeof id), -1) << c.body;
        EXPECT_STREQ(id, "keep");
        const std::string text = log.take();
        EXPECT_NE(text.find(c.line), std::string::npos) << c.body << "\n" << text;
        EXPECT_NE(text.find("parse groupID failed"), std::string::npos);
    }
    EXPECT_EQ(cloudSdkParseGroupIdReply(nullptr, kGroup, nullptr, 0), -1);
}

TEST(GroupIdReply, IdIsCutToTheBuffer) {
    char id[4] = {};
    const std::string reply = groupsReply("[{\"GroupName\":\"g\",\"GroupId\":123456}]");
    EXPECT_EQ(cloudSdkParseGroupIdReply(reply.c_str(), "g", id, sizeof id), 0);
    EXPECT_STREQ(id, "123");
}

TEST(CreateGroupReply, NeedsCode200AndNumericGroupId) {
    char id[64] = {};
    EXPECT_EQ(cloudSdkParseCreateGroupReply("{\"Code\":200,\"GroupId\":4242}", id, sizeof id), 0);
    EXPECT_STREQ(id, "4242");
    const struct {
        const char* body;
        const char* line;
    } cases[] = {
        {"{oops", "{oops is not valid json"},
        {"{\"GroupId\":1}", "code is valid"},
        {"{\"Code\":\"200\",\"GroupId\":1}", "code is valid"},
        {"{\"Code\":403,\"GroupId\":1}", "code is valid"},
        {"{\"Code\":200,\"GroupId\":\"1\"}", "GroupId is valid"},
        {"{\"Code\":200}", "GroupId is valid"},
    };
    for (const auto& c : cases) {
        auto& log = LogCapture::begin();
        char keep[8] = "keep";
        EXPECT_EQ(cloudSdkParseCreateGroupReply(c.body, keep, sizeof keep), -1) << c.body;
        EXPECT_STREQ(keep, "keep");
        EXPECT_NE(log.take().find(c.line), std::string::npos) << c.body;
    }
}

TEST(CodeReply, OnlyNumericCode200Succeeds) {
    auto& log = LogCapture::begin();
    EXPECT_EQ(cloudSdkParseCodeReply("{\"Code\":200}"), 0);
    EXPECT_EQ(cloudSdkParseCodeReply("{\"Code\":200.0,\"Message\":\"ok\"}"), 0);
    EXPECT_EQ(cloudSdkParseCodeReply("{\"Code\":403}"), -1);
    EXPECT_EQ(cloudSdkParseCodeReply("{\"Code\":\"200\"}"), -1);
    EXPECT_EQ(cloudSdkParseCodeReply("{\"code\":200}"), -1);
    EXPECT_EQ(cloudSdkParseCodeReply("[200]"), -1);
    EXPECT_EQ(cloudSdkParseCodeReply("garbage"), -1);
    EXPECT_EQ(cloudSdkParseCodeReply(nullptr), -1);
    EXPECT_EQ(log.take(), "");
}

TEST(GroupInstanceReply, FirstElementNameIsCopiedAndCut) {
    char name[64] = {};
    const std::string reply =
        groupsReply("[{\"InstanceName\":\"gateway-01\"},{\"InstanceName\":\"other\"}]");
    EXPECT_EQ(cloudSdkParseGroupInstanceReply(reply.c_str(), name, sizeof name), 0);
    EXPECT_STREQ(name, "gateway-01");
    char small[5] = {};
    EXPECT_EQ(cloudSdkParseGroupInstanceReply(reply.c_str(), small, sizeof small), 0);
    EXPECT_STREQ(small, "gate");
}

TEST(GroupInstanceReply, FailuresNameTheMissingItem) {
    const struct {
        std::string body;
        const char* line;
    } cases[] = {
        {"<html>", "<html> is not valid json"},
        {groupsReply("[]"), "json object(InstanceName) is invalid"},
        {groupsReply("[{\"InstanceName\":5}]"), "json object(InstanceName) is invalid"},
        {groupsReply("[7]"), "json object(InstanceName) is invalid"},
        {groupsReply("{\"InstanceName\":\"x\"}"), "json object(Resource) is invalid"},
        {groupsReply("[{\"InstanceName\":\"x\"}]", 500), "json object(Resource) is invalid"},
    };
    for (const auto& c : cases) {
        auto& log = LogCapture::begin();
        char keep[8] = "keep";
        EXPECT_EQ(cloudSdkParseGroupInstanceReply(c.body.c_str(), keep, sizeof keep), -1) << c.body;
        EXPECT_STREQ(keep, "keep");
        EXPECT_NE(log.take().find(c.line), std::string::npos) << c.body;
    }
}

struct ClientDeleter {
    void operator()(CloudSdkClient* c) const noexcept { CloudSdkDeinitIF(c); }
};

// Calls against an API host that refuses connections: every call fails after a logged,
// token-free packet line.
TEST(MonitorGroupCalls, TransportFailureFailsEveryCallWithoutLeakingTheToken) {
    const std::unique_ptr<CloudSdkClient, ClientDeleter> client(
        CloudSdkInitIF("AKID", "secret", "BearerToken77", 0));
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
        EXPECT_NE(text.find(std::string("GET https://") + host +
                            "/?AccessKeyId=AKID&Action=" + action + "&"),
                  std::string::npos)
            << action;
    }
    EXPECT_NE(text.find("&SecurityToken=***&Signature="), std::string::npos);
    EXPECT_NE(text.find("status:-1!req: resp:"), std::string::npos);
}

TEST(MonitorGroupCalls, MissingArgumentsFailBeforeAnyRequest) {
    const std::unique_ptr<CloudSdkClient, ClientDeleter> client(CloudSdkInitIF("a", "s", "", 0));
    auto& log = LogCapture::begin();
    char out[8] = "keep";
    EXPECT_EQ(CloudSdkCreateGroup(nullptr, kGroup, 1, out, sizeof out), -1);
    EXPECT_EQ(CloudSdkCreateGroup(client.get(), nullptr, 1, out, sizeof out), -1);
    EXPECT_EQ(CloudSdkCreateGroup(client.get(), kGroup, 1, nullptr, 8), -1);
    EXPECT_EQ(CloudSdkDeleteGroup(client.get(), nullptr, 1), -1);
    EXPECT_EQ(CloudSdkGetGroupID(nullptr, kGroup, 1, out, sizeof out), -1);
    EXPECT_EQ(CloudSdkGetGroupID(client.get(), kGroup, 1, nullptr, 8), -1);
    EXPECT_EQ(log.take().find("GET "), std::string::npos);
    EXPECT_EQ(CloudSdkAddGroupInstance(client.get(), "1", nullptr, "n", "c", 1), -1);
    EXPECT_EQ(CloudSdkDeleteGroupInstance(client.get(), "1", "i", nullptr, 1), -1);
    EXPECT_EQ(CloudSdkGetGroupInstance(client.get(), nullptr, "i", 1, out, sizeof out), -1);
    const std::string text = log.take();
    EXPECT_NE(text.find("build rpc params failed"), std::string::npos);
    EXPECT_EQ(text.find("GET "), std::string::npos);
    EXPECT_STREQ(out, "keep");
}

}  // namespace
