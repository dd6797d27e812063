#include "kinbook/foundation/PollEvent.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "kinbook/foundation/Socket.h"

CPollEvent::CPollEvent() : m_handle(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CPollEvent::~CPollEvent() {
    if (m_handle >= 0)
        ::close(m_handle);
}

BOOL CPollEvent::Signal() {
    const uint64_t one = 1;
    for (;;) {
        if (::write(m_handle, &one, sizeof(one)) == sizeof(one))
            return TRUE;
        if (errno != EINTR)
            return errno == EAGAIN;  // the counter is full: it is signalled anyway
    }
}

BOOL CPollEvent::Reset() {
    uint64_t count = 0;
    for (;;) {
        if (::read(m_handle, &count, sizeof(count)) == sizeof(count))
            return count != 0;
        if (errno != EINTR)
            return FALSE;
    }
}

BOOL CPollEvent::Wait(DWORD milliseconds) const {
    if (m_handle < 0)
        return FALSE;
    pollfd entry{m_handle, POLLIN, 0};
    int error = 0;
    const int timeout = milliseconds == INFINITE ? -1 : static_cast<int>(milliseconds);
    return SockWait(&entry, 1, timeout, error) == 1;
}
