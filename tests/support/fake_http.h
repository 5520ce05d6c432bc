/*
 * fake_http.h -- a scripted HTTP server and a CONNECT proxy on loopback,
 * for the HTTP client's tests and for the configuration server that the
 * forwarder's integration tests need.
 *
 * Each fake listens on 127.0.0.x (port 0: ephemeral), accepts on a thread
 * of its own and serves every connection on a further thread (64 over its
 * life; later connections are closed at once). Everything it waits for is
 * bounded: it stops when the object is destroyed, and by itself once its
 * lifetime has run out. The proxy tunnels to loopback addresses only.
 */
#ifndef QIL_TEST_FAKE_HTTP_H
#define QIL_TEST_FAKE_HTTP_H

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qiltest {

class TcpAcceptor;

/* A request as the fake server read it: everything up to and including
 * the blank line (or what arrived before the client stopped sending). */
struct HttpRequest {
	std::string raw;
	bool complete = false; /* the blank line arrived */
	std::string method;
	std::string target;
	std::string version;
	/* Header lines as received, without their line ends. */
	std::vector<std::string> headers;

	/* The value of the first header `name` (any case), blanks after the
	 * colon skipped; empty when there is none. */
	std::string header(const std::string &name) const;
};

/* One step of a reply: wait `delay`, then send `bytes` (may be empty). */
struct HttpStep {
	std::chrono::milliseconds delay{0};
	std::string bytes;
};

/* What the server does with one connection after reading its request. */
struct HttpScript {
	enum class End {
		Close,     /* close the connection */
		HalfClose, /* shut down the sending side, close when the client
		              does (or after `hold`) */
		Hold,      /* send nothing more, close after `hold` (or when
		              the client closes first) */
	};
	std::vector<HttpStep> steps;
	End end = End::Close;
	std::chrono::milliseconds hold{5000};

	/* A whole response in one step: the status line, the header lines
	 * (each without its line end) and the body, nothing added. */
	static HttpScript response(const std::string &status_line,
	                           const std::vector<std::string> &headers,
	                           const std::string &body);
	/* "HTTP/1.1 200 OK" with a Content-Length and the JSON text. */
	static HttpScript json(const std::string &document);
	/* The bytes as given, then close. */
	static HttpScript raw(const std::string &bytes);
};

/* Chooses the script for the `index`th connection (0 first). */
using HttpResponder = std::function<HttpScript(const HttpRequest &, size_t index)>;

class FakeHttpServer {
public:
	/* Serves `script` on every connection. Throws when the socket cannot
	 * be bound. */
	explicit FakeHttpServer(HttpScript script, const std::string &addr = "127.0.0.1",
	                        uint16_t port = 0,
	                        std::chrono::seconds lifetime = std::chrono::seconds(60));
	explicit FakeHttpServer(HttpResponder responder,
	                        const std::string &addr = "127.0.0.1", uint16_t port = 0,
	                        std::chrono::seconds lifetime = std::chrono::seconds(60));
	~FakeHttpServer();
	FakeHttpServer(const FakeHttpServer &) = delete;
	FakeHttpServer &operator=(const FakeHttpServer &) = delete;

	const std::string &address() const;
	uint16_t port() const;
	/* "addr:port": what a client connects to, and its Host header. */
	std::string host() const;
	/* "QILDNSC_CONFIG_SERVER=addr:port", for the forwarder's environment. */
	std::string config_env() const;

	std::vector<HttpRequest> requests() const;
	size_t request_count() const;
	/* Waits (bounded) until at least `n` requests have been read. */
	bool wait_requests(size_t n, std::chrono::milliseconds limit =
	                                 std::chrono::seconds(5)) const;
	/* Waits (bounded) until every connection so far has been closed. */
	bool wait_idle(std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

private:
	void serve(int fd, size_t index);

	HttpResponder responder_;
	mutable std::mutex mu_;
	std::vector<HttpRequest> requests_;
	std::atomic<size_t> open_{0};
	std::unique_ptr<TcpAcceptor> acceptor_; /* last: stops first */
};

/* A CONNECT seen by the proxy. */
struct ConnectRecord {
	std::string raw;    /* the request up to its blank line */
	std::string target; /* "host:port" of the request line; empty if none */
	bool tunnelled = false;
};

/* The proxy's reply to every CONNECT. */
struct ProxyScript {
	/* Sent as given. Empty: the proxy answers nothing and keeps the
	 * connection until the client closes it or `hold` has passed. A
	 * reply whose status code is 200 and that ends its header opens the
	 * tunnel first (a loopback target only; else "403 Forbidden"; a
	 * target that refuses: "502 Bad Gateway"). */
	std::string reply = "HTTP/1.1 200 Connection established\r\n\r\n";
	std::chrono::milliseconds hold{10000};
};

class FakeConnectProxy {
public:
	explicit FakeConnectProxy(ProxyScript script = {}, const std::string &addr = "127.0.0.1",
	                          uint16_t port = 0,
	                          std::chrono::seconds lifetime = std::chrono::seconds(60));
	~FakeConnectProxy();
	FakeConnectProxy(const FakeConnectProxy &) = delete;
	FakeConnectProxy &operator=(const FakeConnectProxy &) = delete;

	const std::string &address() const;
	uint16_t port() const;
	/* "addr:port", what `-X` takes. */
	std::string host() const;

	std::vector<ConnectRecord> connects() const;
	size_t connect_count() const;
	bool wait_connects(size_t n, std::chrono::milliseconds limit =
	                                 std::chrono::seconds(5)) const;

private:
	void serve(int fd, size_t index);
	void tunnel(int client, int upstream);

	ProxyScript script_;
	mutable std::mutex mu_;
	std::vector<ConnectRecord> connects_;
	std::unique_ptr<TcpAcceptor> acceptor_; /* last: stops first */
};

/* One HTTP/1.1 request to 127.0.0.1:`port`, sent as it is: the whole
 * response, or what came of it within 5 s of silence. */
std::string http_exchange(uint16_t port, const std::string &request);
/* A GET of `target` with the Host header `host`, the connection closed
 * after it. */
std::string http_get(uint16_t port, const std::string &target, const std::string &host);

} // namespace qiltest

#endif
