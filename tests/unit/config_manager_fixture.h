// The configuration manager's stand-in on a private bus, with a client connection to it.
// CONFIG_MANAGER_SERVICE_PATH names the stand-in (set by the build).
#ifndef TESTS_CONFIG_MANAGER_FIXTURE_H
#define TESTS_CONFIG_MANAGER_FIXTURE_H

#include <gtest/gtest.h>

#include "cfg_client.h"
#include "private_bus.h"

class ConfigManagerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.start("iot.gateway.config",
                               {CONFIG_MANAGER_SERVICE_PATH, "--address", bus_.address(),
                                "--store", bus_.dir() + "/config.store"}))
            << readAll(bus_.dir() + "/iot.gateway.config.log");
        conn_ = openCfgPrivateConn(bus_.address().c_str());
        ASSERT_NE(conn_, nullptr);
    }
    void TearDown() override { closeCfgPrivateConn(conn_); }

    testbus::PrivateBus bus_;
    CFG_CONN_T* conn_ = nullptr;
};

#endif
