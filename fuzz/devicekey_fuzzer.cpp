// The device key file and the TPM helper's answers: whatever is on disk or
// on the helper's socket. A file that parses must serialise back to the same
// bytes (the layout has one spelling), and its two TPM parts go through the
// unmarshalling the helper does before the TPM sees them.
#include <tss2/tss2_mu.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/devicekeyblob.h"
#include "agent/linux/tpm/tpmhelperprotocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    vorn::DeviceKeyBlob blob;
    std::string why;
    if (vorn::ParseDeviceKeyBlob(bytes, blob, why)) {
        if (vorn::SerializeDeviceKeyBlob(blob) != bytes) {
            std::fprintf(stderr, "a parsed key file did not serialise back\n");
            std::abort();
        }
        TPM2B_PUBLIC pub{};
        TPM2B_PRIVATE priv{};
        size_t offset = 0;
        (void)Tss2_MU_TPM2B_PUBLIC_Unmarshal(
            reinterpret_cast<const uint8_t*>(blob.m_strPublicPart.data()),
            blob.m_strPublicPart.size(), &offset, &pub);
        offset = 0;
        (void)Tss2_MU_TPM2B_PRIVATE_Unmarshal(
            reinterpret_cast<const uint8_t*>(blob.m_strPrivatePart.data()),
            blob.m_strPrivatePart.size(), &offset, &priv);
    } else if (why.empty()) {
        std::fprintf(stderr, "a refused key file without a reason\n");
        std::abort();
    }
    std::vector<std::string> fields;
    if (vorn::tpmhelper::GetFields(bytes, 0, fields)) {
        std::string again;
        for (const std::string& field : fields) {
            vorn::tpmhelper::PutField(again, field);
        }
        if (again != bytes) {
            std::fprintf(stderr, "helper fields did not serialise back\n");
            std::abort();
        }
    }
    return 0;
}
