#include "ca_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "test_cas.h"

namespace {

struct SslCtxFree {
    void operator()(SSL_CTX* ctx) const noexcept { SSL_CTX_free(ctx); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;

int certificatesIn(SSL_CTX* ctx) {
    return sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(ctx)));
}

// Each step changes the bundle file (or leaves it), then a connection installs the store:
// the change count moves only when what a connection was verified against changes, and a
// bundle that cannot be read fails the connection rather than leaving an older store in use.
TEST(CaStore, RereadsTheBundleOnlyWhenItChangesAndNeverPassesWithoutOne) {
    const TestCas cas;
    ASSERT_TRUE(cas.made()) << "the test CA script failed";
    const std::string bundle = cas.bundle();
    const timespec longAgo[2] = {{1, 0}, {1, 0}};
    const struct {
        const char* step;
        std::function<void()> change;
        unsigned long changes;  // the count after the step
        bool installed;
        int certificates;
    } steps[] = {
        {"unchanged", [] {}, 1, true, 1},
        {"replaced", [&] { cas.trust(2); }, 2, true, 1},
        {"rewritten in place",
         [&] {
             std::ofstream(bundle) << std::ifstream(cas.ca(1)).rdbuf()
                                   << std::ifstream(cas.ca(2)).rdbuf();
         },
         3, true, 2},
        {"touched", [&] { (void)utimensat(AT_FDCWD, bundle.c_str(), longAgo, 0); }, 4, true, 2},
        {"removed", [&] { (void)unlink(bundle.c_str()); }, 5, false, 0},
        {"still missing", [] {}, 5, false, 0},
        {"not a bundle", [&] { std::ofstream(bundle) << "not a certificate\n"; }, 5, false, 0},
        {"restored", [&] { cas.trust(1); }, 6, true, 1},
    };
    const SslCtxPtr first(SSL_CTX_new(TLS_client_method()));
    std::vector<SslCtxPtr> contexts;  // kept, so that no store is freed and its address reused
    {
        CaStore store;
        ASSERT_TRUE(store.installInto(first.get(), bundle.c_str()));
        EXPECT_EQ(store.refresh(bundle.c_str()), 1u);
        X509_STORE* previous = SSL_CTX_get_cert_store(first.get());
        for (const auto& s : steps) {
            s.change();
            EXPECT_EQ(store.refresh(bundle.c_str()), s.changes) << s.step;
            contexts.emplace_back(SSL_CTX_new(TLS_client_method()));
            SSL_CTX* ctx = contexts.back().get();
            EXPECT_EQ(store.installInto(ctx, bundle.c_str()), s.installed) << s.step;
            if (!s.installed) continue;
            EXPECT_EQ(certificatesIn(ctx), s.certificates) << s.step;
            // The same parsed store while the file stays as it was.
            EXPECT_EQ(SSL_CTX_get_cert_store(ctx) == previous, std::string(s.step) == "unchanged")
                << s.step;
            previous = SSL_CTX_get_cert_store(ctx);
        }
    }
    // A context holds its own reference: it outlives every reload and the store itself.
    EXPECT_EQ(certificatesIn(first.get()), 1);
}

}  // namespace
