#include "ca_store.h"

#include <openssl/ssl.h>

bool CaStore::isCurrent(const struct stat& file) const {
    return store_ && file.st_ino == loaded_.st_ino && file.st_dev == loaded_.st_dev &&
           file.st_size == loaded_.st_size && file.st_mtim.tv_sec == loaded_.st_mtim.tv_sec &&
           file.st_mtim.tv_nsec == loaded_.st_mtim.tv_nsec;
}

bool CaStore::reloadIfChanged(const char* path) {
    struct stat file {};
    const bool present = stat(path, &file) == 0;
    if (present && isCurrent(file)) return true;
    const bool hadStore = static_cast<bool>(store_);
    store_.reset();
    X509StorePtr fresh(present ? X509_STORE_new() : nullptr);
    if (fresh && X509_STORE_load_file(fresh.get(), path) == 1) {
        store_ = std::move(fresh);
        loaded_ = file;
    }
    // Only a store that appears or goes away, or one replaced, changes what was verified.
    if (hadStore || store_) ++changes_;
    return static_cast<bool>(store_);
}

unsigned long CaStore::refresh(const char* path) {
    const std::lock_guard<std::mutex> lock(lock_);
    (void)reloadIfChanged(path);
    return changes_;
}

bool CaStore::installInto(void* sslContext, const char* path) {
    const std::lock_guard<std::mutex> lock(lock_);
    if (!reloadIfChanged(path)) return false;
    // The context takes a reference of its own; the store is read-only from now on and
    // OpenSSL lets several contexts verify against one store.
    if (X509_STORE_up_ref(store_.get()) != 1) return false;
    SSL_CTX_set_cert_store(static_cast<SSL_CTX*>(sslContext), store_.get());
    return true;
}
