/*
 * soak_tcp.cc -- the TCP side of the soak: the upstream server over TCP
 * (large answers for the stalled readers' questions), the client that
 * asks once a second and counts the answers that came within 1 s, and the
 * abusers, each reconnecting as the forwarder closes it. One thread each.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "soak_tcp.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

/* The large answers' TXT data: about 60,000 bytes. */
constexpr size_t LARGE_STRINGS = 235;
/* Questions each stalled reader sends at once, for large answers. */
constexpr int STALLED_QUERIES = 20;

struct sockaddr_in
loopback(const std::string &addr, uint16_t port)
{
	struct sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	sin.sin_port = htons(port);
	(void)inet_pton(AF_INET, addr.c_str(), &sin.sin_addr);
	return sin;
}

/* A non-blocking connection from `from` (empty: any) to 127.0.0.1:`port`,
 * made within a second; -1 when it failed. */
int
connect_from(const std::string &from, uint16_t port)
{
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	struct sockaddr_in src = loopback(from, 0), to = loopback("127.0.0.1", port);
	int err = 0;
	socklen_t l = sizeof err;
	struct pollfd p = {fd, POLLOUT, 0};
	if (fd < 0 || (!from.empty() && bind(fd, (struct sockaddr *)&src, sizeof src) != 0) ||
	    (connect(fd, (struct sockaddr *)&to, sizeof to) != 0 &&
	     (errno != EINPROGRESS || poll(&p, 1, 1000) != 1 ||
	      getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &l) != 0 || err != 0))) {
		if (fd >= 0)
			close(fd);
		return -1;
	}
	return fd;
}

/* True when the forwarder closed or reset `fd`; nothing is read. */
bool
hung_up(int fd)
{
	struct pollfd p = {fd, POLLRDHUP, 0};
	return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void
framed(std::vector<uint8_t> &out, const std::vector<uint8_t> &msg)
{
	out.push_back(uint8_t(msg.size() >> 8));
	out.push_back(uint8_t(msg.size()));
	out.insert(out.end(), msg.begin(), msg.end());
}

/* The answer to the query `q`: a large TXT record for kind 'L'. */
std::vector<uint8_t>
upstream_answer(std::vector<uint8_t> q)
{
	size_t n = q.size();
	q.resize(n + 64);
	if (n < 14 || q[13] != 'L') {
		q.resize(soak_answer(q.data(), n, q.size()));
		return q;
	}
	q.resize(n);
	q[2] |= 0x80;
	q[3] = 0x80;
	q[6] = 0, q[7] = 1;
	const size_t rdlength = LARGE_STRINGS * 256;
	q.insert(q.end(), {0xc0, 0x0c, 0, 16, 0, 1, 0, 0, 0, 60, uint8_t(rdlength >> 8),
	    uint8_t(rdlength)});
	for (size_t i = 0; i < LARGE_STRINGS; i++) {
		q.push_back(255);
		q.insert(q.end(), 255, 'x');
	}
	return q;
}

struct UpConn {
	int fd;
	std::vector<uint8_t> in, out;
};

/* Reads what came and queues the answers; false once the connection is over. */
bool
upstream_read(UpConn &c)
{
	uint8_t buf[4096];
	ssize_t n = recv(c.fd, buf, sizeof buf, 0);
	if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
		return false;
	if (n > 0)
		c.in.insert(c.in.end(), buf, buf + n);
	while (c.in.size() >= 2 && c.in.size() >= 2u + (c.in[0] << 8 | c.in[1])) {
		size_t l = c.in[0] << 8 | c.in[1];
		auto a = upstream_answer(std::vector<uint8_t>(c.in.begin() + 2, c.in.begin() + 2 + l));
		c.in.erase(c.in.begin(), c.in.begin() + 2 + l);
		if (!a.empty())
			framed(c.out, a);
	}
	ssize_t w = c.out.empty() ? 0 : send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
	if (w < 0 && errno != EAGAIN && errno != EINTR)
		return false;
	c.out.erase(c.out.begin(), c.out.begin() + (w > 0 ? w : 0));
	return true;
}

void
upstream_server(int lfd, const std::atomic<bool> &stop)
{
	std::vector<UpConn> conns;
	while (!stop) {
		std::vector<struct pollfd> fds = {{lfd, POLLIN, 0}};
		for (const auto &c : conns)
			fds.push_back({c.fd, short(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
		if (poll(fds.data(), fds.size(), 100) <= 0)
			continue;
		for (size_t i = fds.size() - 1; i >= 1; i--) {
			if (fds[i].revents != 0 && !upstream_read(conns[i - 1])) {
				close(conns[i - 1].fd);
				conns.erase(conns.begin() + long(i - 1));
			}
		}
		for (int fd; (fds[0].revents & POLLIN) &&
		    (fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;)
			conns.push_back({fd, {}, {}});
	}
	for (const auto &c : conns)
		close(c.fd);
	close(lfd);
}

/* A question over TCP once a second; answered when its answer comes
 * within 1 s. */
void
client(uint16_t port, const std::atomic<bool> &stop, SoakTcpCounts &counts)
{
	for (unsigned seq = 0; !stop; seq++) {
		auto next = Clock::now() + milliseconds(1000);
		int fd = connect_from("", port);
		std::vector<uint8_t> out, in;
		framed(out, soak_query(uint16_t(seq), 't', seq));
		counts.asked++;
		if (fd >= 0 && send(fd, out.data(), out.size(), MSG_NOSIGNAL) == ssize_t(out.size())) {
			uint8_t buf[1024];
			struct pollfd p = {fd, POLLIN, 0};
			while (Clock::now() < next && poll(&p, 1, 50) >= 0) {
				ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
				if (n == 0 || (n < 0 && errno != EAGAIN)) {
					counts.closed++;
					break;
				}
				if (n > 0)
					in.insert(in.end(), buf, buf + n);
				if (in.size() >= 4 && in.size() >= 2u + (in[0] << 8 | in[1])) {
					counts.answered += unsigned(in[2] << 8 | in[3]) == (seq & 0xffff);
					break;
				}
			}
		}
		if (fd >= 0)
			close(fd);
		else
			counts.unconnected++;
		std::this_thread::sleep_until(next);
	}
}

/* Keeps `n` abusers of one kind connected: `open` sends what a new one
 * sends, `tick` what each sends every `period`; each one found closed is
 * counted and replaced. */
template <typename Open, typename Tick>
void
abusers(uint16_t port, int n, int first_octet, milliseconds period,
        const std::atomic<bool> &stop, std::atomic<unsigned long> &closed, Open open,
        Tick tick)
{
	std::vector<int> fds(size_t(n), -1);
	while (!stop) {
		auto next = Clock::now() + period;
		for (int i = 0; i < n && !stop; i++) {
			int &fd = fds[size_t(i)];
			if (fd >= 0 && hung_up(fd)) {
				closed++;
				close(fd);
				fd = -1;
			}
			if (fd < 0) {
				fd = connect_from("127.0.0." + std::to_string(first_octet + i / 8), port);
				if (fd >= 0)
					open(fd);
			} else {
				tick(fd);
			}
		}
		std::this_thread::sleep_until(next);
	}
	for (int fd : fds)
		if (fd >= 0)
			close(fd);
}

} // namespace

void
soak_tcp_start(uint16_t fwd_port, uint16_t up_port, int abusers_n,
               const std::atomic<bool> &stop, SoakTcpCounts &counts,
               std::vector<std::thread> &threads)
{
	int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	struct sockaddr_in sin = loopback("127.0.0.2", up_port);
	int on = 1;
	(void)setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
	if (lfd < 0 || bind(lfd, (struct sockaddr *)&sin, sizeof sin) != 0 || listen(lfd, 1024) != 0) {
		perror("soak_driver: TCP upstream on 127.0.0.2");
		exit(1);
	}
	threads.emplace_back(upstream_server, lfd, std::cref(stop));
	threads.emplace_back(client, fwd_port, std::cref(stop), std::ref(counts));
	if (abusers_n <= 0)
		return;
	auto byte = [](int fd) { (void)send(fd, "\x01", 1, MSG_NOSIGNAL | MSG_DONTWAIT); };
	threads.emplace_back([=, &stop, &counts] {
		abusers(fwd_port, abusers_n, 40, milliseconds(1000), stop, counts.trickler_closed,
		    byte, byte);
	});
	auto pipeline = [](int fd) {
		std::vector<uint8_t> out;
		for (int k = 0; k < STALLED_QUERIES; k++)
			framed(out, soak_query(uint16_t(k), 'L', unsigned(k)));
		(void)send(fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
	};
	threads.emplace_back([=, &stop, &counts] {
		abusers(fwd_port, abusers_n, 20, milliseconds(200), stop, counts.stalled_closed,
		    pipeline, [](int) {});
	});
}
