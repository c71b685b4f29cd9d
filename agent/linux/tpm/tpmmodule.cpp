// The agent's TPM module: a P-256 signing key under the owner hierarchy's
// storage primary key, through the TPM software stack's enhanced API.
//
// The primary key is derived again from the standard storage template in
// every session, so the agent takes no persistent handle in the TPM; the
// signing key is created once and kept outside as its wrapped public and
// private parts, which only this TPM can load. Every object a session loads
// is flushed when it closes: without a resource manager (a TPM reached over
// a socket) transient objects would otherwise fill the TPM's few slots.
#include <tss2/tss2_esys.h>
#include <tss2/tss2_mu.h>
#include <tss2/tss2_rc.h>
#include <tss2/tss2_tctildr.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "agent/linux/tpm/tpmmoduleabi.h"

struct vorn_tpm_session {
    TSS2_TCTI_CONTEXT* tcti = nullptr;
    ESYS_CONTEXT* esys = nullptr;
    ESYS_TR primary = ESYS_TR_NONE;
    ESYS_TR key = ESYS_TR_NONE;
};

namespace {

void SetError(char* error, size_t size, const char* what, TSS2_RC rc) {
    if (error == nullptr || size == 0) {
        return;
    }
    if (rc == TSS2_RC_SUCCESS) {
        std::snprintf(error, size, "%s", what);
    } else {
        const char* words = Tss2_RC_Decode(rc);
        std::snprintf(error, size, "%s: 0x%x, %s", what, static_cast<unsigned>(rc),
                      words != nullptr ? words : "unknown response code");
    }
}

// The "SRK" template of the TCG's provisioning guidance: a restricted ECC
// P-256 decryption key with AES-128-CFB, an empty unique field. The same
// template on the same TPM always yields the same key.
TPM2B_PUBLIC StoragePrimaryTemplate() {
    TPM2B_PUBLIC tpl{};
    tpl.publicArea.type = TPM2_ALG_ECC;
    tpl.publicArea.nameAlg = TPM2_ALG_SHA256;
    tpl.publicArea.objectAttributes =
        TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT | TPMA_OBJECT_SENSITIVEDATAORIGIN |
        TPMA_OBJECT_USERWITHAUTH | TPMA_OBJECT_NODA | TPMA_OBJECT_RESTRICTED | TPMA_OBJECT_DECRYPT;
    TPMS_ECC_PARMS& ecc = tpl.publicArea.parameters.eccDetail;
    ecc.symmetric.algorithm = TPM2_ALG_AES;
    ecc.symmetric.keyBits.aes = 128;
    ecc.symmetric.mode.aes = TPM2_ALG_CFB;
    ecc.scheme.scheme = TPM2_ALG_NULL;
    ecc.curveID = TPM2_ECC_NIST_P256;
    ecc.kdf.scheme = TPM2_ALG_NULL;
    tpl.publicArea.unique.ecc.x.size = 32;
    tpl.publicArea.unique.ecc.y.size = 32;
    return tpl;
}

TPM2B_PUBLIC SigningKeyTemplate() {
    TPM2B_PUBLIC tpl{};
    tpl.publicArea.type = TPM2_ALG_ECC;
    tpl.publicArea.nameAlg = TPM2_ALG_SHA256;
    tpl.publicArea.objectAttributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT |
                                      TPMA_OBJECT_SENSITIVEDATAORIGIN | TPMA_OBJECT_USERWITHAUTH |
                                      TPMA_OBJECT_SIGN_ENCRYPT;
    TPMS_ECC_PARMS& ecc = tpl.publicArea.parameters.eccDetail;
    ecc.symmetric.algorithm = TPM2_ALG_NULL;
    ecc.scheme.scheme = TPM2_ALG_ECDSA;
    ecc.scheme.details.ecdsa.hashAlg = TPM2_ALG_SHA256;
    ecc.curveID = TPM2_ECC_NIST_P256;
    ecc.kdf.scheme = TPM2_ALG_NULL;
    return tpl;
}

// DER SubjectPublicKeyInfo of a P-256 point: the fixed algorithm header and
// the uncompressed point, each coordinate left-padded to 32 bytes.
bool SpkiOf(const TPM2B_PUBLIC& pub, uint8_t* spki, size_t* spkiSize) {
    static const uint8_t kHeader[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                      0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                      0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
    const TPMT_PUBLIC& area = pub.publicArea;
    const TPM2B_ECC_PARAMETER& x = area.unique.ecc.x;
    const TPM2B_ECC_PARAMETER& y = area.unique.ecc.y;
    if (area.type != TPM2_ALG_ECC || area.parameters.eccDetail.curveID != TPM2_ECC_NIST_P256 ||
        x.size > 32 || y.size > 32 || sizeof kHeader + 64 > VORN_TPM_MAX_SPKI) {
        return false;
    }
    std::memset(spki, 0, sizeof kHeader + 64);
    std::memcpy(spki, kHeader, sizeof kHeader);
    std::memcpy(spki + sizeof kHeader + (32 - x.size), x.buffer, x.size);
    std::memcpy(spki + sizeof kHeader + 32 + (32 - y.size), y.buffer, y.size);
    *spkiSize = sizeof kHeader + 64;
    return true;
}

// One DER INTEGER from a big-endian unsigned value: leading zeros dropped,
// a zero byte put back in front when the top bit is set.
size_t AppendDerInteger(const TPM2B_ECC_PARAMETER& value, uint8_t* out) {
    size_t start = 0;
    while (start + 1 < value.size && value.buffer[start] == 0) {
        ++start;
    }
    const size_t length = value.size - start;
    const bool pad = length == 0 || (value.buffer[start] & 0x80) != 0;
    size_t n = 0;
    out[n++] = 0x02;
    out[n++] = static_cast<uint8_t>(length + (pad ? 1 : 0));
    if (pad) {
        out[n++] = 0;
    }
    std::memcpy(out + n, value.buffer + start, length);
    return n + length;
}

bool SignatureDer(const TPMT_SIGNATURE& signature, uint8_t* out, size_t* outSize) {
    const TPMS_SIGNATURE_ECC& ecc = signature.signature.ecdsa;
    if (signature.sigAlg != TPM2_ALG_ECDSA || ecc.signatureR.size == 0 ||
        ecc.signatureR.size > 32 || ecc.signatureS.size == 0 || ecc.signatureS.size > 32) {
        return false;
    }
    uint8_t body[2 * (3 + 32)];
    size_t n = AppendDerInteger(ecc.signatureR, body);
    n += AppendDerInteger(ecc.signatureS, body + n);
    if (n + 2 > VORN_TPM_MAX_SIGNATURE) {
        return false;
    }
    out[0] = 0x30;
    out[1] = static_cast<uint8_t>(n);
    std::memcpy(out + 2, body, n);
    *outSize = n + 2;
    return true;
}

void FlushKey(vorn_tpm_session* session) {
    if (session->key != ESYS_TR_NONE) {
        (void)Esys_FlushContext(session->esys, session->key);
        session->key = ESYS_TR_NONE;
    }
}

void Close(vorn_tpm_session* session) {
    if (session == nullptr) {
        return;
    }
    if (session->esys != nullptr) {
        FlushKey(session);
        if (session->primary != ESYS_TR_NONE) {
            (void)Esys_FlushContext(session->esys, session->primary);
        }
        Esys_Finalize(&session->esys);
    }
    if (session->tcti != nullptr) {
        Tss2_TctiLdr_Finalize(&session->tcti);
    }
    delete session;
}

vorn_tpm_session* Open(const char* tcti, int32_t timeoutMs, char* error, size_t errorSize) {
    auto* session = new (std::nothrow) vorn_tpm_session();
    if (session == nullptr) {
        SetError(error, errorSize, "out of memory", TSS2_RC_SUCCESS);
        return nullptr;
    }
    TSS2_RC rc = Tss2_TctiLdr_Initialize(tcti, &session->tcti);
    if (rc != TSS2_RC_SUCCESS) {
        SetError(error, errorSize, "cannot connect to the TPM", rc);
        Close(session);
        return nullptr;
    }
    rc = Esys_Initialize(&session->esys, session->tcti, nullptr);
    if (rc == TSS2_RC_SUCCESS) {
        rc = Esys_SetTimeout(session->esys, timeoutMs);
    }
    if (rc != TSS2_RC_SUCCESS) {
        SetError(error, errorSize, "cannot start a TPM context", rc);
        Close(session);
        return nullptr;
    }
    const TPM2B_SENSITIVE_CREATE sensitive{};
    const TPM2B_PUBLIC tpl = StoragePrimaryTemplate();
    const TPM2B_DATA outside{};
    const TPML_PCR_SELECTION pcrs{};
    TPM2B_PUBLIC* outPublic = nullptr;
    TPM2B_CREATION_DATA* creationData = nullptr;
    TPM2B_DIGEST* creationHash = nullptr;
    TPMT_TK_CREATION* ticket = nullptr;
    rc = Esys_CreatePrimary(session->esys, ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                            ESYS_TR_NONE, &sensitive, &tpl, &outside, &pcrs, &session->primary,
                            &outPublic, &creationData, &creationHash, &ticket);
    Esys_Free(outPublic);
    Esys_Free(creationData);
    Esys_Free(creationHash);
    Esys_Free(ticket);
    if (rc != TSS2_RC_SUCCESS) {
        session->primary = ESYS_TR_NONE;
        SetError(error, errorSize, "cannot derive the storage primary key", rc);
        Close(session);
        return nullptr;
    }
    return session;
}

int Load(vorn_tpm_session* session, const uint8_t* publicPart, size_t publicSize,
         const uint8_t* privatePart, size_t privateSize, uint8_t* spki, size_t* spkiSize,
         char* error, size_t errorSize) {
    TPM2B_PUBLIC pub{};
    TPM2B_PRIVATE priv{};
    size_t offset = 0;
    TSS2_RC rc = Tss2_MU_TPM2B_PUBLIC_Unmarshal(publicPart, publicSize, &offset, &pub);
    if (rc != TSS2_RC_SUCCESS || offset != publicSize) {
        SetError(error, errorSize, "the key's public part does not parse", rc);
        return -1;
    }
    offset = 0;
    rc = Tss2_MU_TPM2B_PRIVATE_Unmarshal(privatePart, privateSize, &offset, &priv);
    if (rc != TSS2_RC_SUCCESS || offset != privateSize) {
        SetError(error, errorSize, "the key's private part does not parse", rc);
        return -1;
    }
    const TPM2B_PUBLIC expected = SigningKeyTemplate();
    if (pub.publicArea.objectAttributes != expected.publicArea.objectAttributes ||
        !SpkiOf(pub, spki, spkiSize)) {
        SetError(error, errorSize, "the key is not a P-256 signing key bound to this TPM",
                 TSS2_RC_SUCCESS);
        return -1;
    }
    FlushKey(session);
    rc = Esys_Load(session->esys, session->primary, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                   &priv, &pub, &session->key);
    if (rc != TSS2_RC_SUCCESS) {
        session->key = ESYS_TR_NONE;
        SetError(error, errorSize, "the TPM does not load the key", rc);
        // Only an error answer from the TPM itself is a verdict on the key;
        // its warnings (out of memory, busy) and the stack's own errors (no
        // answer in time) are not.
        const bool fromTpm = (rc & TSS2_RC_LAYER_MASK) == TSS2_TPM_RC_LAYER;
        const bool warning = (rc & TPM2_RC_FMT1) == 0 && (rc & TPM2_RC_WARN) == TPM2_RC_WARN;
        return fromTpm && !warning ? -1 : -2;
    }
    return 0;
}

int Create(vorn_tpm_session* session, uint8_t* publicPart, size_t* publicSize, uint8_t* privatePart,
           size_t* privateSize, uint8_t* spki, size_t* spkiSize, char* error, size_t errorSize) {
    const TPM2B_SENSITIVE_CREATE sensitive{};
    const TPM2B_PUBLIC tpl = SigningKeyTemplate();
    const TPM2B_DATA outside{};
    const TPML_PCR_SELECTION pcrs{};
    TPM2B_PRIVATE* outPrivate = nullptr;
    TPM2B_PUBLIC* outPublic = nullptr;
    TPM2B_CREATION_DATA* creationData = nullptr;
    TPM2B_DIGEST* creationHash = nullptr;
    TPMT_TK_CREATION* ticket = nullptr;
    TSS2_RC rc = Esys_Create(session->esys, session->primary, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                             ESYS_TR_NONE, &sensitive, &tpl, &outside, &pcrs, &outPrivate,
                             &outPublic, &creationData, &creationHash, &ticket);
    Esys_Free(creationData);
    Esys_Free(creationHash);
    Esys_Free(ticket);
    int result = -1;
    if (rc != TSS2_RC_SUCCESS) {
        SetError(error, errorSize, "the TPM cannot create a signing key", rc);
    } else {
        *publicSize = 0;
        *privateSize = 0;
        rc =
            Tss2_MU_TPM2B_PUBLIC_Marshal(outPublic, publicPart, VORN_TPM_MAX_BLOB_PART, publicSize);
        if (rc == TSS2_RC_SUCCESS) {
            rc = Tss2_MU_TPM2B_PRIVATE_Marshal(outPrivate, privatePart, VORN_TPM_MAX_BLOB_PART,
                                               privateSize);
        }
        if (rc != TSS2_RC_SUCCESS) {
            SetError(error, errorSize, "cannot marshal the new key", rc);
        } else {
            result = Load(session, publicPart, *publicSize, privatePart, *privateSize, spki,
                          spkiSize, error, errorSize) == 0
                         ? 0
                         : -1;
        }
    }
    Esys_Free(outPrivate);
    Esys_Free(outPublic);
    return result;
}

int Sign(vorn_tpm_session* session, const uint8_t digest[32], uint8_t* signature,
         size_t* signatureSize, char* error, size_t errorSize) {
    if (session->key == ESYS_TR_NONE) {
        SetError(error, errorSize, "no key loaded", TSS2_RC_SUCCESS);
        return -1;
    }
    TPM2B_DIGEST in{};
    in.size = 32;
    std::memcpy(in.buffer, digest, 32);
    TPMT_SIG_SCHEME scheme{};
    scheme.scheme = TPM2_ALG_ECDSA;
    scheme.details.ecdsa.hashAlg = TPM2_ALG_SHA256;
    // Digests made outside the TPM need no ticket for an unrestricted key.
    TPMT_TK_HASHCHECK validation{};
    validation.tag = TPM2_ST_HASHCHECK;
    validation.hierarchy = TPM2_RH_NULL;
    TPMT_SIGNATURE* out = nullptr;
    const TSS2_RC rc = Esys_Sign(session->esys, session->key, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                 ESYS_TR_NONE, &in, &scheme, &validation, &out);
    int result = -1;
    if (rc != TSS2_RC_SUCCESS) {
        SetError(error, errorSize, "the TPM does not sign", rc);
    } else if (!SignatureDer(*out, signature, signatureSize)) {
        SetError(error, errorSize, "the TPM returned a malformed signature", TSS2_RC_SUCCESS);
    } else {
        result = 0;
    }
    Esys_Free(out);
    return result;
}

const vorn_tpm_module_api kApi = {VORN_TPM_ABI_VERSION, Open, Load, Create, Sign, Close};

}  // namespace

extern "C" const vorn_tpm_module_api* vorn_tpm_module() {
    return &kApi;
}
