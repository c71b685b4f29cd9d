#include "agent/linux/truststore.h"

#include <openssl/err.h>

#include <cstdlib>
#include <memory>
#include <mutex>

namespace vorn {

namespace {

struct DeferredBundle {
    std::string path;
    std::once_flag loaded;
};

void freeDeferredBundle(X509_LOOKUP* lookup) {
    delete static_cast<DeferredBundle*>(X509_LOOKUP_get_method_data(lookup));
    (void)X509_LOOKUP_set_method_data(lookup, nullptr);
}

// Loads the bundle into the store on the first lookup that reaches it (one
// the directories could not answer), then answers from the store as the
// library's own lookups do: the object is handed over without a reference of
// its own, the caller takes one.
int deferredBundleBySubject(X509_LOOKUP* lookup, X509_LOOKUP_TYPE type, const X509_NAME* name,
                            X509_OBJECT* result) {
    auto* bundle = static_cast<DeferredBundle*>(X509_LOOKUP_get_method_data(lookup));
    X509_STORE* store = X509_LOOKUP_get_store(lookup);
    if (bundle == nullptr || store == nullptr || name == nullptr || result == nullptr) {
        return 0;
    }
    std::call_once(bundle->loaded, [&] {
        // A missing bundle leaves nothing behind in the thread's error queue,
        // where the handshake would find it.
        ERR_set_mark();
        (void)X509_load_cert_crl_file(lookup, bundle->path.c_str(), X509_FILETYPE_PEM);
        ERR_pop_to_mark();
    });
    if (X509_STORE_lock(store) != 1) {
        return 0;
    }
    int found = 0;
    X509_OBJECT* object = X509_OBJECT_retrieve_by_subject(X509_STORE_get0_objects(store), type,
                                                          const_cast<X509_NAME*>(name));
    if (object != nullptr) {
        if (X509* cert = X509_OBJECT_get0_X509(object)) {
            found = X509_OBJECT_set1_X509(result, cert);
            X509_free(cert);  // the reference set1 took
        } else if (X509_CRL* crl = X509_OBJECT_get0_X509_CRL(object)) {
            found = X509_OBJECT_set1_X509_CRL(result, crl);
            X509_CRL_free(crl);
        }
    }
    X509_STORE_unlock(store);
    return found;
}

X509_LOOKUP_METHOD* deferredBundleMethod() {
    static X509_LOOKUP_METHOD* const method = [] {
        X509_LOOKUP_METHOD* m = X509_LOOKUP_meth_new("deferred PEM bundle");
        if (m != nullptr && (X509_LOOKUP_meth_set_get_by_subject(m, deferredBundleBySubject) != 1 ||
                             X509_LOOKUP_meth_set_free(m, freeDeferredBundle) != 1)) {
            X509_LOOKUP_meth_free(m);
            m = nullptr;
        }
        return m;
    }();
    return method;
}

}  // namespace

TrustLocations CurrentTrustLocations() {
    TrustLocations locations;
    const char* file = std::getenv(X509_get_default_cert_file_env());
    const char* directories = std::getenv(X509_get_default_cert_dir_env());
    locations.fileNamed = file != nullptr;
    locations.file = file != nullptr ? file : X509_get_default_cert_file();
    locations.directories = directories != nullptr ? directories : X509_get_default_cert_dir();
    return locations;
}

X509_STORE* NewTrustStore(const TrustLocations& locations) {
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(),
                                                                  X509_STORE_free);
    if (!store) {
        return nullptr;
    }
    // Lookups are asked in the order they are added; whatever one of them
    // finds stays in the store for the next verification.
    X509_LOOKUP* directories = X509_STORE_add_lookup(store.get(), X509_LOOKUP_hash_dir());
    if (directories == nullptr) {
        return nullptr;
    }
    ERR_set_mark();
    (void)X509_LOOKUP_add_dir(directories, locations.directories.c_str(), X509_FILETYPE_PEM);
    if (locations.fileNamed) {
        X509_LOOKUP* file = X509_STORE_add_lookup(store.get(), X509_LOOKUP_file());
        if (file == nullptr) {
            ERR_pop_to_mark();
            return nullptr;
        }
        (void)X509_LOOKUP_load_file(file, locations.file.c_str(), X509_FILETYPE_PEM);
    } else {
        X509_LOOKUP_METHOD* method = deferredBundleMethod();
        X509_LOOKUP* bundle =
            method != nullptr ? X509_STORE_add_lookup(store.get(), method) : nullptr;
        if (bundle == nullptr) {
            ERR_pop_to_mark();
            return nullptr;
        }
        auto data = std::make_unique<DeferredBundle>();
        data->path = locations.file;
        if (X509_LOOKUP_set_method_data(bundle, data.get()) != 1) {
            ERR_pop_to_mark();
            return nullptr;
        }
        (void)data.release();
    }
    ERR_pop_to_mark();
    return store.release();
}

}  // namespace vorn
