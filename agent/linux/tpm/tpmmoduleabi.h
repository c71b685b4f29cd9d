// The TPM operations of the device key as a plain C table: what the TPM
// helper process ("vorn-tpm", agent/linux/tpm/tpmhelperprotocol.h) runs for
// the agent. Kept to C types so that the same table could be loaded as a
// shared object. Every text output is a NUL-terminated buffer the caller owns.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VORN_TPM_ABI_VERSION 1

// Large enough for a P-256 SubjectPublicKeyInfo (91 bytes) and an ECDSA
// signature in DER (at most 72 bytes).
#define VORN_TPM_MAX_SPKI 128
#define VORN_TPM_MAX_SIGNATURE 80
// A TPM2B_PUBLIC or TPM2B_PRIVATE as the TPM marshals it.
#define VORN_TPM_MAX_BLOB_PART 1024

struct vorn_tpm_session;

struct vorn_tpm_module_api {
    uint32_t abi_version;  // VORN_TPM_ABI_VERSION

    // Connects to the TPM named by the TCTI configuration string and derives
    // the owner hierarchy's storage primary key from the standard template.
    // Every TPM command waits at most 'timeout_ms'. Returns a session, or
    // NULL with a sentence in 'error'.
    struct vorn_tpm_session* (*open)(const char* tcti, int32_t timeout_ms, char* error,
                                     size_t error_size);

    // Loads a key created earlier under that primary key, from its public
    // and private parts as the TPM returned them. 0 on success with the key's
    // SubjectPublicKeyInfo (DER) in 'spki'; -1 with 'error' when the parts do
    // not parse or the TPM itself refuses them (made by another TPM, or by
    // this one before it was cleared); -2 with 'error' when the TPM could not
    // be asked (no answer in time, a connection error), which says nothing
    // about the key.
    int (*load)(struct vorn_tpm_session* session, const uint8_t* public_part, size_t public_size,
                const uint8_t* private_part, size_t private_size, uint8_t* spki, size_t* spki_size,
                char* error, size_t error_size);

    // Creates and loads a new P-256 signing key. 0 on success with both
    // parts (each at most VORN_TPM_MAX_BLOB_PART bytes) and the
    // SubjectPublicKeyInfo; -1 with 'error' otherwise.
    int (*create)(struct vorn_tpm_session* session, uint8_t* public_part, size_t* public_size,
                  uint8_t* private_part, size_t* private_size, uint8_t* spki, size_t* spki_size,
                  char* error, size_t error_size);

    // Signs a SHA-256 digest with the loaded key: an ECDSA signature in DER.
    int (*sign)(struct vorn_tpm_session* session, const uint8_t digest[32], uint8_t* signature,
                size_t* signature_size, char* error, size_t error_size);

    // Flushes what the session loaded into the TPM and disconnects. NULL is
    // accepted.
    void (*close)(struct vorn_tpm_session* session);
};

const struct vorn_tpm_module_api* vorn_tpm_module(void);

#ifdef __cplusplus
}
#endif
