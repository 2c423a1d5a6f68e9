// Two throw-away CAs, the first with a server certificate for localhost and 127.0.0.1 (made
// by the cloud stand-in's script), and a bundle file holding one of them, as the client's.
// Needs SM_SOURCE_DIR.
#ifndef SM_TEST_TEST_CAS_H
#define SM_TEST_TEST_CAS_H

#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "file_text.h"

class TestCas {
public:
    TestCas() {
        const std::string script = SM_SOURCE_DIR "/sim/cloud/make_test_ca.sh ";
        made_ = system((script + dir_ + "/1 >/dev/null && " + script + dir_ + "/2 >/dev/null")
                           .c_str()) == 0;
        trust(1);
    }
    TestCas(const TestCas&) = delete;
    TestCas& operator=(const TestCas&) = delete;
    bool made() const { return made_; }
    std::string file(const char* name) const { return dir_ + "/1/" + name; }
    std::string bundle() const { return dir_ + "/cacert.pem"; }
    std::string ca(int ca) const { return dir_ + "/" + std::to_string(ca) + "/ca.pem"; }
    // Replaces the bundle, as an update does, with the CA numbered `ca`.
    void trust(int ca) const {
        const std::string next = bundle() + ".new";
        std::ofstream(next) << std::ifstream(this->ca(ca)).rdbuf();
        rename(next.c_str(), bundle().c_str());
    }

private:
    TempDir tmp_;
    const std::string dir_ = tmp_.path();
    bool made_ = false;
};

#endif
