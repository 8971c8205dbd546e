#include "export/ssh_tunnel.h"

#include <arpa/inet.h>
#include <libssh/libssh.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/text.h"

namespace qv {
namespace {

ssh_session Session(void* s) {
    return static_cast<ssh_session>(s);
}

// Writes all of `data` to a client socket; false when the client has gone.
bool SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

struct Link {
    int fd;
    ssh_channel channel;
};

void CloseLink(Link& l) {
    if (l.channel) {
        // Closing a channel the server never opened makes it end the whole
        // session ("packet referred to nonexistent channel").
        if (ssh_channel_is_open(l.channel)) ssh_channel_close(l.channel);
        ssh_channel_free(l.channel);
    }
    if (l.fd >= 0) close(l.fd);
    l.fd = -1;
    l.channel = nullptr;
}

// Sends what the clients polled in `fds` (from index 2 on, one a link; a link
// accepted since has none) wrote to their channels; closes the links of
// clients that left.
void ForwardClients(std::vector<Link>& links, const std::vector<pollfd>& fds,
                    std::vector<char>& buf) {
    for (std::size_t i = 0; i + 2 < fds.size(); ++i) {
        if (!(fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t n = recv(links[i].fd, buf.data(), buf.size(), 0);
        if (n > 0 && ssh_channel_write(links[i].channel, buf.data(), n) == n) continue;
        if (n < 0 && errno == EINTR) continue;
        CloseLink(links[i]);
    }
}

// Moves what the channels hold to their clients until none has data: writing
// or reading one channel may have buffered data of another inside libssh.
void DrainChannels(std::vector<Link>& links, std::vector<char>& buf) {
    for (bool moved = true; moved;) {
        moved = false;
        for (Link& l : links) {
            if (!l.channel) continue;
            int n = ssh_channel_read_nonblocking(l.channel, buf.data(), buf.size(), 0);
            if (n > 0) {
                moved = true;
                if (!SendAll(l.fd, buf.data(), static_cast<std::size_t>(n))) CloseLink(l);
            } else if (n == SSH_ERROR || ssh_channel_is_eof(l.channel) ||
                       ssh_channel_is_closed(l.channel)) {
                CloseLink(l);
            }
        }
    }
}

// The server key's type and SHA256 fingerprint, in hexadecimal: unlike the
// usual base64 form it survives the log's upper-casing.
std::string KeyFingerprint(ssh_session s) {
    ssh_key key = nullptr;
    if (ssh_get_server_publickey(s, &key) != SSH_OK) return "CLAVE ILEGIBLE";
    std::string text = std::string("CLAVE ") + ssh_key_type_to_char(ssh_key_type(key));
    unsigned char* hash = nullptr;
    size_t len = 0;
    if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &len) == 0) {
        static const char kDigits[] = "0123456789ABCDEF";
        text += ", HUELLA SHA256 EN HEXADECIMAL ";
        for (size_t i = 0; i < len; ++i) {
            text += kDigits[hash[i] >> 4];
            text += kDigits[hash[i] & 15];
        }
        ssh_clean_pubkey_hash(&hash);
    }
    ssh_key_free(key);
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

SshTunnel::~SshTunnel() {
    StopListen();
    ShutdownTunnel(0);
}

std::string SshTunnel::ErrorText() const {
    std::lock_guard lock(errorMutex_);
    return error_;
}

// The hosts and the login in a reason are the settings' (the library's texts
// quote them too): their control characters are shown escaped.
void SshTunnel::SetError(const std::string& text) {
    std::lock_guard lock(errorMutex_);
    error_ = ShownWithControls(text);
}

void SshTunnel::Fail(const std::string& text) {
    SetError(text);
    if (OnFailure) OnFailure(ShownWithControls(text));
}

int SshTunnel::StartListen(int localPort) {
    if (thread_.joinable()) {
        SetError("EL TUNEL YA ESTA ESCUCHANDO");
        return 0;
    }
    SetError("");
    if (localPort <= 0 || localPort > 65535) {
        SetError("PUERTO LOCAL NO VALIDO: " + std::to_string(localPort));
        return 0;
    }
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(localPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int yes = 1;
    if (listenFd_ >= 0) setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listenFd_, 16) != 0) {
        SetError("NO SE PUEDE ESCUCHAR EN 127.0.0.1:" + std::to_string(localPort) + " - " +
                 std::strerror(errno));
        if (listenFd_ >= 0) close(listenFd_);
        listenFd_ = -1;
        return 0;
    }
    if (!Connect()) {
        close(listenFd_);
        listenFd_ = -1;
        ShutdownTunnel(0);
        return 0;
    }
    stop_ = false;
    ended_ = false;
    listenPort_ = localPort;
    thread_ = std::thread([this] { Pump(); });
    return 1;
}

bool SshTunnel::Connect() {
    ssh_session s = ssh_new();
    if (!s) {
        SetError("NO SE PUDO CREAR LA SESION SSH");
        return false;
    }
    session_ = s;
    long timeout = ConnectTimeoutSeconds;
    unsigned port = static_cast<unsigned>(SshPort);
    bool noConfig = false;
    ssh_options_set(s, SSH_OPTIONS_PROCESS_CONFIG, &noConfig);
    ssh_options_set(s, SSH_OPTIONS_HOST, SshHostname.c_str());
    ssh_options_set(s, SSH_OPTIONS_PORT, &port);
    ssh_options_set(s, SSH_OPTIONS_USER, SshLogin.c_str());
    ssh_options_set(s, SSH_OPTIONS_TIMEOUT, &timeout);
    if (!KnownHostsFile.empty()) ssh_options_set(s, SSH_OPTIONS_KNOWNHOSTS, KnownHostsFile.c_str());
    const std::string where = SshHostname + ":" + std::to_string(SshPort);
    if (ssh_connect(s) != SSH_OK) {
        SetError("NO SE PUDO CONECTAR CON EL SERVIDOR SSH " + where + " - " + ssh_get_error(s));
        return false;
    }
    // The host and port to add the key for (see the README), and the key's
    // fingerprint to compare with the server's own first.
    const std::string key = "(HOST " + SshHostname + ", PUERTO " + std::to_string(SshPort) + ", " +
                            KeyFingerprint(s) + ")";
    switch (ssh_session_is_known_server(s)) {
        case SSH_KNOWN_HOSTS_OK:
            break;
        case SSH_KNOWN_HOSTS_CHANGED:
        case SSH_KNOWN_HOSTS_OTHER:
            SetError("LA CLAVE DEL SERVIDOR SSH HA CAMBIADO " + key +
                     " - POSIBLE SUPLANTACION; SI EL CAMBIO ES LEGITIMO BORRE LA CLAVE ANTIGUA DE"
                     " KNOWN_HOSTS Y AGREGUE LA NUEVA COMO INDICA EL README");
            return false;
        case SSH_KNOWN_HOSTS_UNKNOWN:
        case SSH_KNOWN_HOSTS_NOT_FOUND:
            SetError("CLAVE DEL SERVIDOR SSH DESCONOCIDA " + key +
                     " - COMPRUEBE LA HUELLA Y AGREGUE LA CLAVE A KNOWN_HOSTS CON SSH-KEYSCAN COMO"
                     " INDICA EL README");
            return false;
        default:
            SetError("NO SE PUDO COMPROBAR LA CLAVE DEL SERVIDOR SSH " + where + " - " +
                     ssh_get_error(s));
            return false;
    }
    if (ssh_userauth_password(s, nullptr, SshPassword.c_str()) != SSH_AUTH_SUCCESS) {
        SetError("EL SERVIDOR SSH " + where + " RECHAZA EL USUARIO " + SshLogin +
                 " CON ESA CONTRASENA - " + ssh_get_error(s));
        return false;
    }
    return true;
}

// Runs in the tunnel's thread, which alone uses the session from here on.
void SshTunnel::Pump() {
    ssh_session s = Session(session_);
    const std::string where = SshHostname + ":" + std::to_string(SshPort);
    std::vector<Link> links;
    std::vector<char> buf(32 * 1024);
    // Packets that belong to no channel (channel closes, global requests) are
    // read only through the session's event: left unread, they would keep the
    // poll below returning at once.
    ssh_event event = ssh_event_new();
    if (event && ssh_event_add_session(event, s) != SSH_OK) {
        ssh_event_free(event);
        event = nullptr;
    }
    while (!stop_) {
        std::vector<pollfd> fds;
        fds.push_back({listenFd_, POLLIN, 0});
        fds.push_back({ssh_get_fd(s), POLLIN, 0});
        for (const Link& l : links) fds.push_back({l.fd, POLLIN, 0});
        // Bounded so that a stop request is seen within 100 ms.
        if (poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR) {
            Fail(std::string("ERROR ESPERANDO EN EL TUNEL SSH - ") + std::strerror(errno));
            break;
        }
        if (event && fds[1].revents) ssh_event_dopoll(event, 0);
        if (!ssh_is_connected(s)) {
            Fail("CONEXION SSH PERDIDA CON " + where + " - " + ssh_get_error(s));
            break;
        }
        if (fds[0].revents & POLLIN) {
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
            if (fd >= 0) {
                Link l{fd, ssh_channel_new(s)};
                if (!l.channel ||
                    ssh_channel_open_forward(l.channel, DestHostname.c_str(), DestPort, "127.0.0.1",
                                             ntohs(peer.sin_port)) != SSH_OK) {
                    Fail("EL SERVIDOR SSH " + where + " NO ABRE EL CANAL HACIA " + DestHostname +
                         ":" + std::to_string(DestPort) + " - " + ssh_get_error(s));
                    CloseLink(l);
                } else {
                    links.push_back(l);
                }
            }
        }
        ForwardClients(links, fds, buf);
        DrainChannels(links, buf);
        std::erase_if(links, [](const Link& l) { return l.fd < 0; });
    }
    for (Link& l : links) CloseLink(l);
    if (event) {
        ssh_event_remove_session(event, s);
        ssh_event_free(event);
    }
    // A tunnel whose session has gone refuses new clients instead of leaving
    // them waiting on a listener that nobody serves, is no longer shared, and
    // frees its port for the fresh tunnel of the next upload.
    if (!stop_) {
        ended_ = true;
        close(listenFd_);
        listenFd_ = -1;
    }
}

int SshTunnel::StopListen() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
    return 1;
}

int SshTunnel::ShutdownTunnel(int) {
    StopListen();  // also a pump whose session ended: its thread is joined
    if (session_) {
        ssh_session s = Session(session_);
        if (ssh_is_connected(s)) ssh_disconnect(s);
        ssh_free(s);
        session_ = nullptr;
    }
    return 1;
}

}  // namespace qv
