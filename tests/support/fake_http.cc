/*
 * fake_http.cc -- the scripted HTTP server and the CONNECT proxy.
 *
 * Both share one acceptor: a listening socket, an accepting thread, one
 * thread per connection (at most kMaxConnections, later ones are closed
 * at once), and a wake-up pipe that every wait also polls, so that the
 * destructor or the end of the lifetime ends all of them promptly.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <stdexcept>

#include "fake_http.h"
#include "fd.h"
#include "process.h"

namespace qiltest {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kMaxConnections = 64;
constexpr size_t kMaxHead = 16384;
constexpr milliseconds kHeadLimit{5000};

void
set_send_timeout(int fd, int seconds)
{
	struct timeval tv = {};
	tv.tv_sec = seconds;
	(void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

/* True when every byte went out. */
bool
send_all(int fd, const std::string &bytes)
{
	size_t off = 0;
	while (off < bytes.size()) {
		ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
		if (n == -1 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		off += static_cast<size_t>(n);
	}
	return true;
}

/* Reads what is already there, so that closing sends FIN and not RST. */
void
drain_now(int fd)
{
	char buf[4096];
	for (int i = 0; i < 64; i++)
		if (recv(fd, buf, sizeof buf, MSG_DONTWAIT) <= 0)
			break;
}

/* Where the header block ends ("\r\n\r\n" or "\n\n"), or npos. */
size_t
head_end(const std::string &s)
{
	size_t a = s.find("\r\n\r\n");
	size_t b = s.find("\n\n");
	if (a != std::string::npos && (b == std::string::npos || a + 2 <= b))
		return a + 4;
	if (b != std::string::npos)
		return b + 2;
	return std::string::npos;
}

HttpRequest
parse_request(const std::string &raw, bool complete)
{
	HttpRequest r;
	r.raw = raw;
	r.complete = complete;
	size_t pos = 0;
	bool first = true;
	while (pos < raw.size()) {
		size_t nl = raw.find('\n', pos);
		std::string line = raw.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
		pos = nl == std::string::npos ? raw.size() : nl + 1;
		if (!line.empty() && line.back() == '\r')
			line.pop_back();
		if (first) {
			first = false;
			std::vector<std::string> tok;
			size_t p = 0;
			while (p < line.size() && tok.size() < 3) {
				size_t q = line.find(' ', p);
				tok.push_back(line.substr(p, q == std::string::npos ? std::string::npos : q - p));
				p = q == std::string::npos ? line.size() : q + 1;
			}
			if (tok.size() > 0)
				r.method = tok[0];
			if (tok.size() > 1)
				r.target = tok[1];
			if (tok.size() > 2)
				r.version = tok[2];
			continue;
		}
		if (line.empty())
			break;
		r.headers.push_back(line);
	}
	return r;
}

/* 127.0.0.0/8 "a.b.c.d:port" into `sa`; false for anything else. */
bool
loopback_target(const std::string &target, sockaddr_in *sa)
{
	size_t colon = target.rfind(':');
	if (colon == std::string::npos)
		return false;
	std::string host = target.substr(0, colon);
	std::string port = target.substr(colon + 1);
	if (port.empty() || port.size() > 5 ||
	    !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
		return false;
	unsigned long p = std::stoul(port);
	if (p == 0 || p > 65535)
		return false;
	*sa = {};
	sa->sin_family = AF_INET;
	sa->sin_port = htons(static_cast<uint16_t>(p));
	if (inet_pton(AF_INET, host.c_str(), &sa->sin_addr) != 1)
		return false;
	return (ntohl(sa->sin_addr.s_addr) >> 24) == 127;
}

/* A reply that opens the tunnel: status 200 under HTTP/1.0 or HTTP/1.1,
 * its header ended. */
bool
opens_tunnel(const std::string &reply)
{
	static const std::regex status(R"(^HTTP/1\.[01] 200[ \r\n])");
	return std::regex_search(reply, status) && head_end(reply) != std::string::npos;
}

} // namespace

/*
 * The listening socket and its threads. Handlers own the descriptor they
 * are given and must wait only through poll() or pause() below.
 */
class TcpAcceptor {
public:
	using Handler = std::function<void(int fd, size_t index)>;

	TcpAcceptor(const std::string &addr, uint16_t port, std::chrono::seconds lifetime)
	    : addr_(addr), deadline_(Clock::now() + lifetime)
	{
		if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) == -1)
			throw std::runtime_error("pipe2(2) failed");
		lfd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
		if (lfd_ == -1) {
			cleanup();
			throw std::runtime_error("socket(2) failed");
		}
		int one = 1;
		(void)setsockopt(lfd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
		sockaddr_in sa{};
		sa.sin_family = AF_INET;
		sa.sin_port = htons(port);
		socklen_t sl = sizeof sa;
		if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1 ||
		    (ntohl(sa.sin_addr.s_addr) >> 24) != 127 ||
		    bind(lfd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == -1 ||
		    listen(lfd_, 16) == -1 ||
		    getsockname(lfd_, reinterpret_cast<sockaddr *>(&sa), &sl) == -1) {
			cleanup();
			throw std::runtime_error("cannot listen on " + addr + ":" +
			                         std::to_string(port));
		}
		port_ = ntohs(sa.sin_port);
	}

	~TcpAcceptor() { stop(); }

	/* Ends every wait and joins every thread; the owner calls it before
	 * its own members go, since the handlers use them. */
	void stop()
	{
		stop_ = true;
		char c = 0;
		(void)!write(wake_[1], &c, 1);
		if (thread_.joinable())
			thread_.join();
		std::vector<std::thread> w;
		{
			std::lock_guard lk(mu_);
			w.swap(workers_);
		}
		for (auto &t : w)
			t.join();
		cleanup();
	}

	TcpAcceptor(const TcpAcceptor &) = delete;
	TcpAcceptor &operator=(const TcpAcceptor &) = delete;

	void start(Handler h)
	{
		handler_ = std::move(h);
		thread_ = std::thread([this] { run(); });
	}

	const std::string &address() const { return addr_; }
	uint16_t port() const { return port_; }

	bool stopping() const { return stop_ || Clock::now() >= deadline_; }

	/* poll(2) over `fds` and the wake-up pipe, at most `limit` and never
	 * past the lifetime: the count of ready descriptors, 0 on time-out,
	 * -1 when the fake is stopping. */
	int poll(std::vector<pollfd> &fds, milliseconds limit) const
	{
		auto end = std::min(Clock::now() + limit, deadline_);
		std::vector<pollfd> all(fds);
		all.push_back({wake_[0], POLLIN, 0});
		for (;;) {
			if (stopping())
				return -1;
			auto ms = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
			int r = ::poll(all.data(), all.size(), static_cast<int>(std::max<long>(ms, 0)));
			if (r == -1 && errno == EINTR)
				continue;
			if (r == -1 || all.back().revents != 0 || stopping())
				return -1;
			for (size_t i = 0; i < fds.size(); i++)
				fds[i].revents = all[i].revents;
			if (r == 0 && Clock::now() < end)
				continue;
			return r;
		}
	}

	/* 1 when `fd` is readable (or closed), 0 on time-out, -1 stopping. */
	int wait_readable(int fd, milliseconds limit) const
	{
		std::vector<pollfd> f{{fd, POLLIN, 0}};
		return poll(f, limit);
	}

	/* Waits `d`; false when the fake is stopping. */
	bool pause(milliseconds d) const
	{
		if (d.count() <= 0)
			return !stopping();
		std::vector<pollfd> none;
		return poll(none, d) == 0;
	}

	/* Reads until the client closes or `limit` passes. */
	void drain_until_eof(int fd, milliseconds limit) const
	{
		auto end = Clock::now() + limit;
		char buf[4096];
		for (;;) {
			auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
			if (left.count() <= 0 || wait_readable(fd, left) <= 0)
				return;
			ssize_t n = recv(fd, buf, sizeof buf, 0);
			if (n == -1 && errno == EINTR)
				continue;
			if (n <= 0)
				return;
		}
	}

	/* Reads up to and including the blank line (bounded in size and
	 * time); `rest` receives any bytes that came after it. */
	std::string read_head(int fd, bool *complete, std::string *rest) const
	{
		std::string raw;
		auto end = Clock::now() + kHeadLimit;
		char buf[4096];
		*complete = false;
		while (raw.size() < kMaxHead) {
			size_t e = head_end(raw);
			if (e != std::string::npos) {
				*complete = true;
				*rest = raw.substr(e);
				raw.resize(e);
				break;
			}
			auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
			if (left.count() <= 0 || wait_readable(fd, left) <= 0)
				break;
			ssize_t n = recv(fd, buf, sizeof buf, 0);
			if (n == -1 && errno == EINTR)
				continue;
			if (n <= 0)
				break;
			raw.append(buf, static_cast<size_t>(n));
		}
		return raw;
	}

private:
	void run()
	{
		size_t index = 0;
		while (!stopping()) {
			std::vector<pollfd> f{{lfd_, POLLIN, 0}};
			int r = poll(f, milliseconds(1000));
			if (r < 0)
				break;
			if (r == 0)
				continue;
			int fd = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
			if (fd == -1)
				continue;
			std::lock_guard lk(mu_);
			if (workers_.size() >= kMaxConnections) {
				(void)close(fd);
				continue;
			}
			set_send_timeout(fd, 5);
			workers_.emplace_back([this, fd, i = index++] { handler_(fd, i); });
		}
	}

	void cleanup()
	{
		if (lfd_ >= 0)
			(void)close(lfd_);
		lfd_ = -1;
		for (int &w : wake_) {
			if (w >= 0)
				(void)close(w);
			w = -1;
		}
	}

	std::string addr_;
	uint16_t port_ = 0;
	Clock::time_point deadline_;
	int lfd_ = -1;
	int wake_[2] = {-1, -1};
	std::atomic<bool> stop_{false};
	Handler handler_;
	std::mutex mu_;
	std::vector<std::thread> workers_;
	std::thread thread_;
};

/* ---------------------------------------------------------------- */

std::string
HttpRequest::header(const std::string &name) const
{
	for (const auto &h : headers) {
		if (h.size() <= name.size() || h[name.size()] != ':' ||
		    strncasecmp(h.c_str(), name.c_str(), name.size()) != 0)
			continue;
		size_t p = name.size() + 1;
		while (p < h.size() && (h[p] == ' ' || h[p] == '\t'))
			p++;
		return h.substr(p);
	}
	return {};
}

HttpScript
HttpScript::response(const std::string &status_line, const std::vector<std::string> &headers,
                     const std::string &body)
{
	std::string r = status_line + "\r\n";
	for (const auto &h : headers)
		r += h + "\r\n";
	r += "\r\n";
	r += body;
	return raw(r);
}

HttpScript
HttpScript::json(const std::string &document)
{
	return response("HTTP/1.1 200 OK",
	    {"Content-Type: application/json",
	     "Content-Length: " + std::to_string(document.size())},
	    document);
}

HttpScript
HttpScript::raw(const std::string &bytes)
{
	HttpScript s;
	s.steps.push_back({milliseconds(0), bytes});
	return s;
}

/* ---------------------------------------------------------------- */

FakeHttpServer::FakeHttpServer(HttpScript script, const std::string &addr, uint16_t port,
                               std::chrono::seconds lifetime)
    : FakeHttpServer(HttpResponder([script](const HttpRequest &, size_t) { return script; }),
                     addr, port, lifetime)
{
}

FakeHttpServer::FakeHttpServer(HttpResponder responder, const std::string &addr,
                               uint16_t port, std::chrono::seconds lifetime)
    : responder_(std::move(responder)),
      acceptor_(std::make_unique<TcpAcceptor>(addr, port, lifetime))
{
	acceptor_->start([this](int fd, size_t index) { serve(fd, index); });
}

FakeHttpServer::~FakeHttpServer()
{
	acceptor_->stop();
}

const std::string &
FakeHttpServer::address() const
{
	return acceptor_->address();
}

uint16_t
FakeHttpServer::port() const
{
	return acceptor_->port();
}

std::string
FakeHttpServer::host() const
{
	return address() + ":" + std::to_string(port());
}

std::string
FakeHttpServer::config_env() const
{
	return "QILDNSC_CONFIG_SERVER=" + host();
}

std::vector<HttpRequest>
FakeHttpServer::requests() const
{
	std::lock_guard lk(mu_);
	return requests_;
}

size_t
FakeHttpServer::request_count() const
{
	std::lock_guard lk(mu_);
	return requests_.size();
}

bool
FakeHttpServer::wait_requests(size_t n, milliseconds limit) const
{
	return wait_until([&] { return request_count() >= n; }, limit);
}

bool
FakeHttpServer::wait_idle(milliseconds limit) const
{
	return wait_until([&] { return open_ == 0; }, limit);
}

void
FakeHttpServer::serve(int raw_fd, size_t index)
{
	open_++;
	Fd fd(raw_fd);
	const TcpAcceptor &a = *acceptor_;
	bool complete;
	std::string rest;
	std::string head = a.read_head(fd.get(), &complete, &rest);
	HttpRequest req = parse_request(head, complete);
	HttpScript script;
	bool scripted = true;
	{
		std::lock_guard lk(mu_);
		requests_.push_back(req);
	}
	try {
		script = responder_(req, index);
	} catch (const std::exception &) {
		scripted = false;
	}
	bool sent = scripted;
	for (const auto &step : script.steps) {
		if (!sent || !a.pause(step.delay) || !send_all(fd.get(), step.bytes)) {
			sent = false;
			break;
		}
	}
	if (sent && script.end == HttpScript::End::HalfClose) {
		(void)shutdown(fd.get(), SHUT_WR);
		a.drain_until_eof(fd.get(), script.hold);
	} else if (sent && script.end == HttpScript::End::Hold) {
		a.drain_until_eof(fd.get(), script.hold);
	}
	drain_now(fd.get());
	fd.reset();
	open_--;
}

/* ---------------------------------------------------------------- */

FakeConnectProxy::FakeConnectProxy(ProxyScript script, const std::string &addr,
                                   uint16_t port, std::chrono::seconds lifetime)
    : script_(std::move(script)), acceptor_(std::make_unique<TcpAcceptor>(addr, port, lifetime))
{
	acceptor_->start([this](int fd, size_t index) { serve(fd, index); });
}

FakeConnectProxy::~FakeConnectProxy()
{
	acceptor_->stop();
}

const std::string &
FakeConnectProxy::address() const
{
	return acceptor_->address();
}

uint16_t
FakeConnectProxy::port() const
{
	return acceptor_->port();
}

std::string
FakeConnectProxy::host() const
{
	return address() + ":" + std::to_string(port());
}

std::vector<ConnectRecord>
FakeConnectProxy::connects() const
{
	std::lock_guard lk(mu_);
	return connects_;
}

size_t
FakeConnectProxy::connect_count() const
{
	std::lock_guard lk(mu_);
	return connects_.size();
}

bool
FakeConnectProxy::wait_connects(size_t n, milliseconds limit) const
{
	return wait_until([&] { return connect_count() >= n; }, limit);
}

void
FakeConnectProxy::serve(int raw_fd, size_t)
{
	Fd fd(raw_fd);
	const TcpAcceptor &a = *acceptor_;
	bool complete;
	std::string rest;
	std::string head = a.read_head(fd.get(), &complete, &rest);
	HttpRequest req = parse_request(head, complete);
	ConnectRecord rec;
	rec.raw = head;
	if (req.method == "CONNECT")
		rec.target = req.target;

	size_t slot;
	{
		std::lock_guard lk(mu_);
		connects_.push_back(rec);
		slot = connects_.size() - 1;
	}
	if (!complete || rec.target.empty())
		return;

	const std::string &reply = script_.reply;
	if (reply.empty()) {
		a.drain_until_eof(fd.get(), script_.hold);
		return;
	}
	if (!opens_tunnel(reply)) {
		if (send_all(fd.get(), reply))
			a.drain_until_eof(fd.get(), script_.hold);
		return;
	}

	sockaddr_in sa;
	if (!loopback_target(rec.target, &sa)) {
		(void)send_all(fd.get(), "HTTP/1.1 403 Forbidden\r\n\r\n");
		drain_now(fd.get());
		return;
	}
	Fd up(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
	/* A loopback connect is refused or accepted at once. */
	if (up.get() == -1 || connect(up.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == -1) {
		(void)send_all(fd.get(), "HTTP/1.1 502 Bad Gateway\r\n\r\n");
		drain_now(fd.get());
		return;
	}
	set_send_timeout(up.get(), 5);
	if (!send_all(fd.get(), reply) || !send_all(up.get(), rest))
		return;
	{
		std::lock_guard lk(mu_);
		connects_[slot].tunnelled = true;
	}
	tunnel(fd.get(), up.get());
}

/* Copies both ways; an end of stream on one side is passed on as a
 * shutdown of the other. Ends when both sides are done, on an error, or
 * when the fake stops. */
void
FakeConnectProxy::tunnel(int client, int upstream)
{
	const TcpAcceptor &a = *acceptor_;
	int from[2] = {client, upstream};
	int to[2] = {upstream, client};
	bool done[2] = {false, false};
	char buf[16384];

	while (!done[0] || !done[1]) {
		std::vector<pollfd> f;
		for (int i = 0; i < 2; i++)
			f.push_back({done[i] ? -1 : from[i], POLLIN, 0});
		int r = a.poll(f, milliseconds(60000));
		if (r <= 0)
			return;
		for (int i = 0; i < 2; i++) {
			if (done[i] || f[static_cast<size_t>(i)].revents == 0)
				continue;
			ssize_t n = recv(from[i], buf, sizeof buf, 0);
			if (n == -1 && errno == EINTR)
				continue;
			if (n < 0)
				return;
			if (n == 0) {
				done[i] = true;
				(void)shutdown(to[i], SHUT_WR);
				continue;
			}
			if (!send_all(to[i], std::string(buf, static_cast<size_t>(n))))
				return;
		}
	}
}

std::string
http_exchange(uint16_t port, const std::string &request)
{
	Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
	sockaddr_in sa{};
	sa.sin_family = AF_INET;
	sa.sin_port = htons(port);
	sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (connect(s.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
	    send(s.get(), request.data(), request.size(), MSG_NOSIGNAL) != (ssize_t)request.size())
		return "";
	std::string out;
	char buf[4096];
	for (int i = 0; i < 200; i++) {
		pollfd p{s.get(), POLLIN, 0};
		if (poll(&p, 1, 5000) != 1)
			break;
		ssize_t n = recv(s.get(), buf, sizeof buf, 0);
		if (n <= 0)
			break;
		out.append(buf, (size_t)n);
	}
	return out;
}

std::string
http_get(uint16_t port, const std::string &target, const std::string &host)
{
	return http_exchange(port, "GET " + target + " HTTP/1.1\r\nHost: " + host +
	    "\r\nConnection: close\r\n\r\n");
}

} // namespace qiltest
