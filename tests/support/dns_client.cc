/*
 * dns_client.cc -- UDP sockets on loopback for tests.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "dns_client.h"

namespace qiltest {

std::string
sockaddr_text(const sockaddr_in &sa)
{
	char text[INET_ADDRSTRLEN] = "?";
	inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
	return std::string(text) + ":" + std::to_string(ntohs(sa.sin_port));
}

sockaddr_in
make_sockaddr(const std::string &addr, uint16_t port)
{
	sockaddr_in sa{};
	sa.sin_family = AF_INET;
	sa.sin_port = htons(port);
	if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1)
		throw std::invalid_argument("bad IPv4 address: " + addr);
	return sa;
}

UdpSocket::UdpSocket(const std::string &addr, uint16_t port) : addr_(addr)
{
	sockaddr_in sa = make_sockaddr(addr, port);
	fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
	if (fd_ == -1)
		throw std::runtime_error("socket(2) failed");
	if (bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == -1) {
		int e = errno;
		close(fd_);
		fd_ = -1;
		throw std::runtime_error("bind(2) to " + sockaddr_text(sa) + " failed: errno " +
		    std::to_string(e));
	}
	/* Room for bursts of several hundred datagrams. */
	int rcvbuf = 1 << 20;
	(void)setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
	socklen_t len = sizeof sa;
	if (getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len) == -1) {
		close(fd_);
		fd_ = -1;
		throw std::runtime_error("getsockname(2) failed");
	}
	port_ = ntohs(sa.sin_port);
}

UdpSocket::~UdpSocket()
{
	if (fd_ != -1)
		close(fd_);
}

bool
UdpSocket::send_to(const sockaddr_in &to, std::span<const uint8_t> data)
{
	ssize_t n = sendto(fd_, data.data(), data.size(), 0,
	    reinterpret_cast<const sockaddr *>(&to), sizeof to);
	return n == static_cast<ssize_t>(data.size());
}

bool
UdpSocket::send_to(const std::string &addr, uint16_t port, std::span<const uint8_t> data)
{
	return send_to(make_sockaddr(addr, port), data);
}

std::optional<Datagram>
UdpSocket::receive(std::chrono::milliseconds limit)
{
	auto end = Clock::now() + limit;
	for (;;) {
		Datagram d;
		d.data.resize(65536);
		socklen_t len = sizeof d.from;
		ssize_t n = recvfrom(fd_, d.data.data(), d.data.size(), 0,
		    reinterpret_cast<sockaddr *>(&d.from), &len);
		if (n >= 0) {
			d.at = Clock::now();
			d.data.resize(static_cast<size_t>(n));
			return d;
		}
		if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
		    errno != ECONNREFUSED)
			return std::nullopt;
		auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
		    end - Clock::now());
		if (left.count() <= 0)
			return std::nullopt;
		pollfd p{fd_, POLLIN, 0};
		(void)poll(&p, 1, static_cast<int>(left.count()) + 1);
	}
}

std::vector<Datagram>
UdpSocket::collect(std::chrono::milliseconds window, size_t max)
{
	std::vector<Datagram> out;
	auto end = Clock::now() + window;
	while (out.size() < max) {
		auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
		    end - Clock::now());
		if (left.count() <= 0)
			break;
		auto d = receive(left);
		if (!d)
			break;
		out.push_back(std::move(*d));
	}
	return out;
}

std::vector<Datagram>
UdpSocket::collect_until(size_t count, std::chrono::milliseconds limit)
{
	return collect(limit, count);
}

uint16_t
pick_udp_port(const std::string &addr)
{
	/* The forwarder listens on TCP too: a port that busy tests hold for
	 * their connections would fail its start. Bounded: the last one
	 * drawn serves when none is free on both. */
	uint16_t port = 0;
	for (int i = 0; i < 20; i++) {
		UdpSocket s(addr, 0);
		port = s.port();
		int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
		int on = 1;
		(void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
		sockaddr_in sa = make_sockaddr(addr, port);
		bool free_too = fd >= 0 &&
		    bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
		if (fd >= 0)
			close(fd);
		if (free_too)
			break;
	}
	return port;
}

} // namespace qiltest
