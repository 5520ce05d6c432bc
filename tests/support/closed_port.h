/*
 * closed_port.h -- a TCP port on loopback that refuses connections: the
 * dead peer of tests that must fail to connect.
 */
#ifndef QIL_TEST_CLOSED_PORT_H
#define QIL_TEST_CLOSED_PORT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace qiltest {

/*
 * A TCP port held bound but never listening: a connect to it is refused
 * at once, and no other socket can listen on it while the object lives.
 */
class ClosedPort {
public:
	explicit ClosedPort(const std::string &addr = "127.0.0.1", uint16_t port = 0)
	    : addr_(addr)
	{
		fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
		if (fd_ == -1)
			throw std::runtime_error("socket(2) failed");
		/* Leftovers in TIME_WAIT must not stop the bind; a listener
		 * still does. */
		int one = 1;
		(void)setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
		sockaddr_in sa{};
		sa.sin_family = AF_INET;
		sa.sin_port = htons(port);
		socklen_t sl = sizeof sa;
		if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1 ||
		    bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == -1 ||
		    getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &sl) == -1) {
			(void)close(fd_);
			throw std::runtime_error("cannot hold " + addr + ":" + std::to_string(port));
		}
		port_ = ntohs(sa.sin_port);
	}
	~ClosedPort() { (void)close(fd_); }
	ClosedPort(const ClosedPort &) = delete;
	ClosedPort &operator=(const ClosedPort &) = delete;

	std::string host() const { return addr_ + ":" + std::to_string(port_); }
	std::string config_env() const { return "QILDNSC_CONFIG_SERVER=" + host(); }

private:
	std::string addr_;
	uint16_t port_ = 0;
	int fd_ = -1;
};

} // namespace qiltest

#endif
