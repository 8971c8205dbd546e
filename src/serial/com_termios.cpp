#include "serial/com_termios.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace qv::termios_linux {

namespace {

struct RateCode {
    uint32_t rate;
    tcflag_t code;
};

constexpr RateCode kRates[] = {
    {50, B50},         {75, B75},         {110, B110},        {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},        {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},      {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},  {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}};

tcflag_t rateCode(uint32_t rate) {
    for (const auto& r : kRates)
        if (r.rate == rate) return r.code;
    return BOTHER;
}

}  // namespace

int Validate(const DeviceControlBlock& b) {
    if (b.BaudRate == 0 || b.BaudRate > 0x7FFFFFFF) return EINVAL;
    if (b.ByteSize < 5 || b.ByteSize > 8) return EINVAL;
    if (b.Parity > 4) return EINVAL;
    if (b.StopBits > 2) return EINVAL;
    if (b.StopBits == 1 && b.ByteSize != 5) return EINVAL;
    if (b.StopBits == 2 && b.ByteSize == 5) return EINVAL;
    return 0;
}

int Apply(int fd, const DeviceControlBlock& b, bool markErrors) {
    if (int err = Validate(b)) return err;
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) return errno;

    t.c_iflag &=
        ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR |
                               ICRNL | IXON | IXOFF | IXANY | IUCLC | IMAXBEL | IUTF8);
    if (b.Flags & dcb::fParity) t.c_iflag |= INPCK;
    if (markErrors) t.c_iflag |= PARMRK;
    if (b.Flags & dcb::fOutX) t.c_iflag |= IXON;
    if (b.Flags & dcb::fInX) t.c_iflag |= IXOFF;

    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN |
                                        XCASE | TOSTOP);

    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS |
                                        CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= CREAD | CLOCAL | HUPCL;
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[b.ByteSize - 5];
    switch (b.Parity) {
        case 1:
            t.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            t.c_cflag |= PARENB;
            break;
        case 3:
            t.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 4:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    // 1.5 stop bits exist only with 5 data bits, where CSTOPB gives them.
    if (b.StopBits != 0) t.c_cflag |= CSTOPB;
    const uint32_t rts = (b.Flags & dcb::fRtsControlMask) >> dcb::fRtsControlShift;
    if ((b.Flags & dcb::fOutxCtsFlow) || rts == 2) t.c_cflag |= CRTSCTS;

    const tcflag_t code = rateCode(b.BaudRate);
    t.c_cflag |= code;  // the input rate follows the output rate (CIBAUD 0)
    t.c_ospeed = b.BaudRate;
    t.c_ispeed = b.BaudRate;

    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = static_cast<cc_t>(b.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(b.XoffChar);

    if (::ioctl(fd, TCSETS2, &t) != 0) return errno;
    return 0;
}

int Flush(int fd, bool input, bool output) {
    if (!input && !output) return 0;
    const int what = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    return ::ioctl(fd, TCFLSH, what) == 0 ? 0 : errno;
}

int OutputQueue(int fd, int& bytes) {
    bytes = 0;
    return ::ioctl(fd, TIOCOUTQ, &bytes) == 0 ? 0 : errno;
}

int SetRs485(int fd, bool on) {
    serial_rs485 conf{};
    if (::ioctl(fd, TIOCGRS485, &conf) != 0) return errno;
    if (on) {
        conf.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        conf.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
    } else {
        conf.flags &= ~static_cast<__u32>(SER_RS485_ENABLED);
    }
    return ::ioctl(fd, TIOCSRS485, &conf) == 0 ? 0 : errno;
}

}  // namespace qv::termios_linux
