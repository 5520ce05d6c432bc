/*
 * tcp_client.cc -- a DNS client over TCP for tests.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "dns_client.h"
#include "tcp_client.h"

namespace qiltest {

using std::chrono::steady_clock;

std::vector<uint8_t>
tcp_frame(std::span<const uint8_t> msg)
{
	std::vector<uint8_t> out(2 + msg.size());
	out[0] = static_cast<uint8_t>(msg.size() >> 8);
	out[1] = static_cast<uint8_t>(msg.size() & 0xff);
	std::copy(msg.begin(), msg.end(), out.begin() + 2);
	return out;
}

static int
ms_until(steady_clock::time_point until)
{
	auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - steady_clock::now());
	return ms.count() < 0 ? 0 : static_cast<int>(ms.count());
}

TcpClient::TcpClient(const std::string &addr, uint16_t port, std::chrono::milliseconds limit,
                     const std::string &from)
{
	/* An IPv6 literal connects over IPv6 (no source address then). */
	bool six = addr.find(':') != std::string::npos;
	fd_ = socket(six ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (fd_ < 0)
		return;
	if (!from.empty()) {
		sockaddr_in src = make_sockaddr(from, 0);
		if (bind(fd_, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0) {
			close(fd_);
			fd_ = -1;
			return;
		}
	}
	sockaddr_storage ss{};
	socklen_t len = sizeof(sockaddr_in);
	if (six) {
		auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&ss);
		sin6->sin6_family = AF_INET6;
		sin6->sin6_port = htons(port);
		(void)inet_pton(AF_INET6, addr.c_str(), &sin6->sin6_addr);
		len = sizeof *sin6;
	} else {
		sockaddr_in sa = make_sockaddr(addr, port);
		memcpy(&ss, &sa, sizeof sa);
	}
	if (connect(fd_, reinterpret_cast<sockaddr *>(&ss), len) == 0)
		return;
	pollfd p{fd_, POLLOUT, 0};
	int err = 0;
	socklen_t l = sizeof err;
	if (errno != EINPROGRESS || poll(&p, 1, static_cast<int>(limit.count())) != 1 ||
	    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &l) != 0 || err != 0) {
		close(fd_);
		fd_ = -1;
	}
}

TcpClient::~TcpClient()
{
	if (fd_ >= 0)
		close(fd_);
}

bool
TcpClient::send_raw(std::span<const uint8_t> data)
{
	auto until = steady_clock::now() + std::chrono::seconds(5);
	size_t off = 0;
	while (fd_ >= 0 && off < data.size()) {
		ssize_t n = send(fd_, data.data() + off, data.size() - off, MSG_NOSIGNAL);
		if (n > 0) {
			off += static_cast<size_t>(n);
			continue;
		}
		if (n == -1 && errno != EAGAIN && errno != EINTR)
			return false;
		pollfd p{fd_, POLLOUT, 0};
		if (poll(&p, 1, ms_until(until)) != 1)
			return false;
	}
	return fd_ >= 0;
}

bool
TcpClient::send_message(std::span<const uint8_t> msg)
{
	return send_raw(tcp_frame(msg));
}

bool
TcpClient::read_exact(uint8_t *buf, size_t n, steady_clock::time_point until)
{
	size_t got = 0;
	while (got < n) {
		ssize_t r = recv(fd_, buf + got, n - got, 0);
		if (r > 0) {
			got += static_cast<size_t>(r);
			continue;
		}
		if (r == 0 || (errno != EAGAIN && errno != EINTR))
			return false;
		pollfd p{fd_, POLLIN, 0};
		if (poll(&p, 1, ms_until(until)) != 1)
			return false;
	}
	return true;
}

std::optional<std::vector<uint8_t>>
TcpClient::receive(std::chrono::milliseconds limit)
{
	auto until = steady_clock::now() + limit;
	uint8_t len[2];
	if (fd_ < 0 || !read_exact(len, 2, until))
		return std::nullopt;
	std::vector<uint8_t> msg(static_cast<size_t>(len[0] << 8 | len[1]));
	if (!read_exact(msg.data(), msg.size(), until))
		return std::nullopt;
	return msg;
}

bool
TcpClient::closed_by_peer(std::chrono::milliseconds limit)
{
	auto until = steady_clock::now() + limit;
	uint8_t buf[4096];
	while (fd_ >= 0) {
		ssize_t r = recv(fd_, buf, sizeof buf, 0);
		if (r == 0 || (r == -1 && errno != EAGAIN && errno != EINTR))
			return true;
		if (r > 0)
			continue;
		pollfd p{fd_, POLLIN, 0};
		if (poll(&p, 1, ms_until(until)) != 1)
			return false;
	}
	return false;
}

bool
TcpClient::hung_up(std::chrono::milliseconds limit)
{
	/* Unread data does not wake a wait for the end alone. */
	pollfd p{fd_, POLLRDHUP, 0};
	return fd_ >= 0 && poll(&p, 1, static_cast<int>(limit.count())) == 1 &&
	    (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

} // namespace qiltest
