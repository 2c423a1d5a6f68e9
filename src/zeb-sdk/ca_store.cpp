#include "zeb-sdk/ca_store.h"

#include <openssl/ssl.h>

bool CaStore::isCurrent(const struct stat& file) const {
    return store_ && file.st_ino == loaded_.st_ino && file.st_dev == loaded_.st_dev &&
           file.st_size == loaded_.st_size && file.st_mtim.tv_sec == loaded_.st_mtim.tv_sec &&
           file.st_mtim.tv_nsec == loaded_.st_mtim.tv_nsec;
}

bool CaStore::installInto(void* sslContext, const char* path) {
    const std::lock_guard<std::mutex> lock(lock_);
    struct stat file {};
    if (stat(path, &file) != 0) return false;
    if (!isCurrent(file)) {
        X509StorePtr fresh(X509_STORE_new());
        if (!fresh || X509_STORE_load_file(fresh.get(), path) != 1) return false;
        store_ = std::move(fresh);
        loaded_ = file;
    }
    // The context takes a reference of its own; the store is read-only from now on and
    // OpenSSL lets several contexts verify against one store.
    if (X509_STORE_up_ref(store_.get()) != 1) return false;
    SSL_CTX_set_cert_store(static_cast<SSL_CTX*>(sslContext), store_.get());
    return true;
}
