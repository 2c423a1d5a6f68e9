// The client's CA bundle, parsed once and handed to every new TLS connection. libcurl
// builds a new TLS context per connection and would parse the whole bundle into it each
// time (about 20 ms for a system bundle of some 145 certificates); its own CA cache does
// not take effect in the libcurl the gateway ships.
#ifndef ZEB_SDK_CA_STORE_H
#define ZEB_SDK_CA_STORE_H

#include <openssl/x509.h>
#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <string>

struct X509StoreDeleter {
    void operator()(X509_STORE* s) const noexcept { X509_STORE_free(s); }
};
using X509StorePtr = std::unique_ptr<X509_STORE, X509StoreDeleter>;

class CaStore {
public:
    // Installs the bundle at `path` as the certificate store of a new connection's TLS
    // context (an SSL_CTX), reading the file again only when it has changed. False when the
    // bundle cannot be read: the connection must then fail, as it would without a bundle.
    bool installInto(void* sslContext, const char* path);
    // Reads the bundle at `path` again when it has changed, and returns how many times the
    // store has changed so far: connections made under an older count were verified
    // against a bundle that no longer holds. A missing or unreadable file is a change too.
    unsigned long refresh(const char* path);

private:
    [[nodiscard]] bool isCurrent(const struct stat& file) const;
    // Under lock_: the store for the file as it is now; false when it cannot be read.
    bool reloadIfChanged(const char* path);

    std::mutex lock_;  // the upload and the management channel connect on different threads
    X509StorePtr store_;
    struct stat loaded_ {};
    unsigned long changes_ = 0;
};

#endif
