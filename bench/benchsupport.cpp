#include "bench/benchsupport.h"

#include <cstdlib>

#include "agent/attributecollectorfactory.h"

namespace vorn::bench {

std::string FixtureMachine() {
    return std::string(VORN_BENCH_SOURCE_DIR) + "/tests/data/machines/workstation";
}

IdentityServiceRequest TypicalRequest() {
    setenv("VORN_SYSROOT", FixtureMachine().c_str(), 1);
    IdentityServiceRequest request;
    (void)CreateAttributeCollector()->GetAttributeList(request.m_lstAttributes);
    request.m_strBID = "4f7d0c1e-2b3a-4c5d-8e9f-0a1b2c3d4e5f";
    request.m_strBToken = "installer-key-0123456789abcdef";
    request.m_strVorn = "6c1f3a2e-9b7d-4e21-a5c3-1d2e3f4a5b6c";
    request.m_strToken = std::string(64, 't');
    request.m_strInstanceKey = std::string(32, 'k');
    return request;
}

}  // namespace vorn::bench
