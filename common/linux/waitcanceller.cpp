#include "common/linux/waitcanceller.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace vorn {

WaitCanceller::WaitCanceller() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WaitCanceller::~WaitCanceller() {
    if (m_fd >= 0) {
        (void)::close(m_fd);
    }
}

void WaitCanceller::Cancel() noexcept {
    m_bCancelled.store(true);
    if (m_fd >= 0) {
        // The counter is never read down, so one write keeps it readable; a
        // full counter (EAGAIN) is readable already.
        const uint64_t one = 1;
        (void)!::write(m_fd, &one, sizeof one);
    }
}

}  // namespace vorn
