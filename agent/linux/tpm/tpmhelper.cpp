// "vorn-tpm": runs one TPM session for the agent over its standard input
// and output (agent/linux/tpm/tpmhelperprotocol.h).
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/linux/fdio.h"

#include "agent/linux/tpm/tpmhelperprotocol.h"
#include "agent/linux/tpm/tpmmoduleabi.h"

namespace {

using namespace vorn::tpmhelper;
using vorn::ReadExactly;
using vorn::WriteAll;

bool ReadFrame(std::string& payload) {
    unsigned char header[4];
    if (!ReadExactly(STDIN_FILENO, reinterpret_cast<char*>(header), sizeof header)) {
        return false;
    }
    const size_t length = (static_cast<size_t>(header[0]) << 24) |
                          (static_cast<size_t>(header[1]) << 16) |
                          (static_cast<size_t>(header[2]) << 8) | header[3];
    if (length == 0 || length > kMaxFrame) {
        return false;
    }
    payload.resize(length);
    return ReadExactly(STDIN_FILENO, &payload[0], length);
}

bool Answer(Status status, const std::vector<std::string>& fields) {
    std::string payload(1, static_cast<char>(status));
    for (const std::string& field : fields) {
        PutField(payload, field);
    }
    return WriteAll(STDOUT_FILENO, Frame(payload));
}

std::string Bytes(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        const char usage[] =
            "Usage: vorn-tpm <tcti> <timeout ms>\n"
            "Started by the vorn agent for its device key; not meant to be run by hand.\n";
        (void)!write(STDERR_FILENO, usage, sizeof usage - 1);
        return 2;
    }
    // The stack's own diagnostics would reach the agent's journal as stray
    // lines; every failure is reported through the answer instead.
    setenv("TSS2_LOG", "all+none", 1);
    const vorn_tpm_module_api* api = vorn_tpm_module();
    const int timeoutMs = std::atoi(argv[2]);
    char error[512] = "";
    vorn_tpm_session* session =
        api->open(argv[1], timeoutMs > 0 ? timeoutMs : 10000, error, sizeof error);
    if (session == nullptr) {
        (void)Answer(kFailed, {error});
        return 1;
    }
    if (!Answer(kOk, {})) {
        api->close(session);
        return 1;
    }
    std::string payload;
    std::vector<std::string> fields;
    while (ReadFrame(payload) && GetFields(payload, 1, fields)) {
        error[0] = '\0';
        bool written = false;
        switch (payload[0]) {
            case 'L': {
                if (fields.size() != 2) {
                    written = Answer(kFailed, {"malformed load command"});
                    break;
                }
                uint8_t spki[VORN_TPM_MAX_SPKI];
                size_t spkiSize = 0;
                const int rc =
                    api->load(session, reinterpret_cast<const uint8_t*>(fields[0].data()),
                              fields[0].size(), reinterpret_cast<const uint8_t*>(fields[1].data()),
                              fields[1].size(), spki, &spkiSize, error, sizeof error);
                written = rc == 0    ? Answer(kOk, {Bytes(spki, spkiSize)})
                          : rc == -1 ? Answer(kRefused, {error})
                                     : Answer(kFailed, {error});
                break;
            }
            case 'C': {
                uint8_t pub[VORN_TPM_MAX_BLOB_PART], priv[VORN_TPM_MAX_BLOB_PART];
                uint8_t spki[VORN_TPM_MAX_SPKI];
                size_t pubSize = 0, privSize = 0, spkiSize = 0;
                written = api->create(session, pub, &pubSize, priv, &privSize, spki, &spkiSize,
                                      error, sizeof error) == 0
                              ? Answer(kOk, {Bytes(pub, pubSize), Bytes(priv, privSize),
                                             Bytes(spki, spkiSize)})
                              : Answer(kFailed, {error});
                break;
            }
            case 'S': {
                if (fields.size() != 1 || fields[0].size() != 32) {
                    written = Answer(kFailed, {"malformed sign command"});
                    break;
                }
                uint8_t signature[VORN_TPM_MAX_SIGNATURE];
                size_t signatureSize = 0;
                written = api->sign(session, reinterpret_cast<const uint8_t*>(fields[0].data()),
                                    signature, &signatureSize, error, sizeof error) == 0
                              ? Answer(kOk, {Bytes(signature, signatureSize)})
                              : Answer(kFailed, {error});
                break;
            }
            default:
                written = Answer(kFailed, {"unknown command"});
                break;
        }
        if (!written) {
            break;
        }
    }
    api->close(session);
    return 0;
}
