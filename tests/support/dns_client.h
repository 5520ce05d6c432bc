/*
 * dns_client.h -- UDP sockets on loopback for tests: send a datagram, and
 * collect what arrives within a bounded time window, with arrival times.
 *
 * Every wait is bounded in time and in the number of datagrams kept. A
 * socket is owned by one thread at a time.
 */
#ifndef QIL_TEST_DNS_CLIENT_H
#define QIL_TEST_DNS_CLIENT_H

#include <netinet/in.h>
#include <stdint.h>

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qiltest {

using Clock = std::chrono::steady_clock;

struct Datagram {
	std::vector<uint8_t> data;
	Clock::time_point at; /* when it was read */
	sockaddr_in from{};
};

/* "127.0.0.1:5353" for an IPv4 socket address. */
std::string sockaddr_text(const sockaddr_in &sa);
sockaddr_in make_sockaddr(const std::string &addr, uint16_t port);

/* A UDP socket bound to addr:port (port 0: ephemeral); closed on
 * destruction. Throws when it cannot be created or bound. */
class UdpSocket {
public:
	explicit UdpSocket(const std::string &addr = "127.0.0.1", uint16_t port = 0);
	~UdpSocket();
	UdpSocket(const UdpSocket &) = delete;
	UdpSocket &operator=(const UdpSocket &) = delete;

	int fd() const { return fd_; }
	uint16_t port() const { return port_; }
	const std::string &address() const { return addr_; }

	/* True when the whole datagram was sent. */
	bool send_to(const sockaddr_in &to, std::span<const uint8_t> data);
	bool send_to(const std::string &addr, uint16_t port, std::span<const uint8_t> data);

	/* The next datagram, waiting at most `limit`. */
	std::optional<Datagram> receive(std::chrono::milliseconds limit);
	/* Everything that arrives until `window` has passed (at most `max`). */
	std::vector<Datagram> collect(std::chrono::milliseconds window, size_t max = 64);
	/* Datagrams until `count` have arrived or `limit` has passed. */
	std::vector<Datagram> collect_until(size_t count, std::chrono::milliseconds limit);

private:
	int fd_ = -1;
	uint16_t port_ = 0;
	std::string addr_;
};

/* A DNS client on 127.0.0.1 that talks to one server port on 127.0.0.1. */
class DnsClient : public UdpSocket {
public:
	explicit DnsClient(uint16_t server_port) : server_port_(server_port) {}
	bool send(std::span<const uint8_t> data) { return send_to("127.0.0.1", server_port_, data); }

private:
	uint16_t server_port_;
};

/* A UDP port on `addr` that was free a moment ago, on TCP as well: bound
 * to port 0, read back and released. Another process may take it
 * meanwhile. */
uint16_t pick_udp_port(const std::string &addr = "127.0.0.1");

} // namespace qiltest

#endif
