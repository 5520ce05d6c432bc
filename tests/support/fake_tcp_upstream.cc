/*
 * fake_tcp_upstream.cc -- a scripted upstream DNS server over TCP: one
 * thread, one poll(2) over the listener and every connection.
 */
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "fake_tcp_upstream.h"
#include "tcp_client.h"

namespace qiltest {

FakeTcpUpstream::FakeTcpUpstream(const std::string &addr, Script script, uint16_t port,
                                 std::chrono::seconds lifetime)
    : addr_(addr), deadline_(Clock::now() + lifetime), script_(std::move(script))
{
	fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	int on = 1;
	(void)setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
	sockaddr_in sa = make_sockaddr(addr, port);
	socklen_t l = sizeof sa;
	if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
	    listen(fd_, 1024) != 0 ||
	    getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &l) != 0) {
		if (fd_ >= 0)
			close(fd_);
		throw std::runtime_error("cannot listen on " + addr + ":" + std::to_string(port));
	}
	port_ = ntohs(sa.sin_port);
	thread_ = std::thread([this] { run(); });
}

FakeTcpUpstream::~FakeTcpUpstream()
{
	stop_ = true;
	thread_.join();
	for (auto &c : conns_)
		close(c.fd);
	close(fd_);
}

std::vector<Received>
FakeTcpUpstream::received() const
{
	std::lock_guard lk(mu_);
	return received_;
}

size_t
FakeTcpUpstream::received_count() const
{
	std::lock_guard lk(mu_);
	return received_.size();
}

void
FakeTcpUpstream::accept_one()
{
	int c = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
	if (c < 0)
		return;
	connections_++;
	conns_.push_back(Conn{c, ++serial_, {}});
}

bool
FakeTcpUpstream::read_from(Conn &c)
{
	uint8_t buf[16384];
	ssize_t n = recv(c.fd, buf, sizeof buf, 0);
	if (n == -1 && (errno == EAGAIN || errno == EINTR))
		return true;
	if (n <= 0)
		return false;
	c.in.insert(c.in.end(), buf, buf + n);
	while (c.in.size() >= 2) {
		size_t len = static_cast<size_t>(c.in[0] << 8 | c.in[1]);
		if (c.in.size() < 2 + len)
			break;
		Received r;
		r.message.assign(c.in.begin() + 2, c.in.begin() + 2 + static_cast<long>(len));
		r.raw = r.message;
		r.at = Clock::now();
		c.in.erase(c.in.begin(), c.in.begin() + 2 + static_cast<long>(len));
		std::vector<Reply> replies;
		try {
			if (script_)
				replies = script_(r);
		} catch (const std::exception &) {
		}
		for (auto &rep : replies)
			out_.push_back(Out{r.at + rep.delay, c.serial, std::move(rep)});
		std::lock_guard lk(mu_);
		received_.push_back(std::move(r));
	}
	return true;
}

void
FakeTcpUpstream::send_due()
{
	auto now = Clock::now();
	auto due = std::stable_partition(out_.begin(), out_.end(),
	    [&](const Out &o) { return o.due <= now; });
	std::stable_sort(out_.begin(), due,
	    [](const Out &a, const Out &b) { return a.due < b.due; });
	for (auto o = out_.begin(); o != due; ++o) {
		auto c = std::find_if(conns_.begin(), conns_.end(),
		    [&](const Conn &x) { return x.serial == o->serial; });
		if (c == conns_.end())
			continue;
		if (o->reply.data.empty()) {
			close(c->fd);
			conns_.erase(c);
			continue;
		}
		auto bytes = o->reply.via == Reply::Via::Raw ? o->reply.data : tcp_frame(o->reply.data);
		/* Small enough for the socket buffer of a reading peer. */
		(void)!send(c->fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
	}
	out_.erase(out_.begin(), due);
}

void
FakeTcpUpstream::run()
{
	while (!stop_ && Clock::now() < deadline_) {
		std::vector<pollfd> fds{{fd_, POLLIN, 0}};
		for (const auto &c : conns_)
			fds.push_back({c.fd, POLLIN, 0});
		int timeout = 20;
		for (const auto &o : out_) {
			auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
			    o.due - Clock::now()).count();
			timeout = std::clamp(static_cast<int>(ms), 0, timeout);
		}
		if (poll(fds.data(), fds.size(), timeout) == -1 && errno != EINTR)
			break;
		for (size_t i = fds.size() - 1; i >= 1; i--) {
			if (fds[i].revents == 0)
				continue;
			if (!read_from(conns_[i - 1])) {
				close(conns_[i - 1].fd);
				conns_.erase(conns_.begin() + static_cast<long>(i - 1));
			}
		}
		if (fds[0].revents & POLLIN)
			for (int i = 0; i < 64; i++)
				accept_one();
		send_due();
	}
}

} // namespace qiltest
