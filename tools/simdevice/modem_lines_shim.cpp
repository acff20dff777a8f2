// libmodemlines.so: preloaded (LD_PRELOAD) into Wine processes in tests so
// that a pseudo-terminal behaves like a serial port with modem lines. Wine's
// WaitCommEvent gives up whenever the modem-status query fails, which it
// always does on a pty; real UARTs and USB adapters answer it. This library
// answers TIOCMGET/TIOCMSET/TIOCMBIS/TIOCMBIC itself, for terminals only and
// only where the real call fails. The lines are one process-wide word.
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using IoctlFn = int (*)(int, unsigned long, ...);

// A device that is present: carrier, data set ready, clear to send.
std::atomic<int> gLines{TIOCM_CAR | TIOCM_DSR | TIOCM_CTS};

IoctlFn realIoctl()
{
    static const auto fn = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
    return fn;
}

bool isModemRequest(unsigned long request)
{
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
}

int answerModemRequest(unsigned long request, int* bits)
{
    if (!bits) {
        errno = EFAULT;
        return -1;
    }
    if (request == TIOCMGET) *bits = gLines.load();
    else if (request == TIOCMSET) gLines.store(*bits);
    else if (request == TIOCMBIS) gLines.fetch_or(*bits);
    else gLines.fetch_and(~*bits);
    return 0;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    const IoctlFn real = realIoctl();
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    const int result = real(fd, request, argument);
    if (result == 0 || !isModemRequest(request)) return result;
    const int error = errno;
    if ((error != EINVAL && error != ENOTTY) || !isatty(fd)) return result;
    return answerModemRequest(request, static_cast<int*>(argument));
}
