/*
 * fake_tls_server.h -- a DNS over TLS server for integration tests, on a
 * port of a 127.0.0.x address, that answers as its mode says: well, or as
 * the servers do that a forwarder must stop trusting with its queries.
 *
 * It serves one connection at a time (a forwarder keeps one per server),
 * and gives up a connection as soon as a new one is waiting. It runs on a
 * thread of its own that stops when the object is destroyed, and by
 * itself once its lifetime has run out. GnuTLS: the Linux build only.
 */
#ifndef QIL_TEST_FAKE_TLS_SERVER_H
#define QIL_TEST_FAKE_TLS_SERVER_H

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <gnutls/gnutls.h>

#include "dns_message.h"

namespace qiltest {

class FakeTlsServer {
public:
	enum class Mode {
		Answer,              /* each query gets what `answer` makes of it */
		CloseAfterHandshake, /* shakes hands, then closes at once */
		Trickle,             /* takes a query, then sends its answer a
		                      * byte every quarter of a second */
		WrongIds,            /* answers each query under an ID it did
		                      * not have */
	};
	/* The answer to a query (the default: two A records). */
	using Answerer = std::function<dns::Bytes(const dns::Bytes &query)>;

	/*
	 * Starts serving on addr:<ephemeral port>. `cert` and `key` are PEM
	 * files; left empty, a self-signed certificate made here serves, for
	 * "#insecure" entries. Throws when it cannot listen or load them.
	 */
	explicit FakeTlsServer(Mode mode, Answerer answer = {}, const std::string &cert = "",
	                       const std::string &key = "", const std::string &addr = "127.0.0.1",
	                       std::chrono::seconds lifetime = std::chrono::seconds(60));
	~FakeTlsServer();
	FakeTlsServer(const FakeTlsServer &) = delete;
	FakeTlsServer &operator=(const FakeTlsServer &) = delete;

	uint16_t port() const { return port_; }
	/* "tls://addr:port#name". */
	std::string entry(const std::string &name) const;
	/* Handshakes completed so far. */
	int handshakes() const { return handshakes_.load(); }

private:
	void run();
	void serve(int fd);
	/* False once the connection is over (by mode, peer or newcomer). */
	bool respond(gnutls_session_t s, const dns::Bytes &query);
	/* True while the server runs and no new connection waits. */
	bool keep_serving() const;

	Mode mode_;
	Answerer answer_;
	std::string addr_;
	gnutls_certificate_credentials_t cred_ = nullptr;
	int listen_fd_ = -1;
	uint16_t port_ = 0;
	std::chrono::steady_clock::time_point end_;
	std::atomic<bool> stop_{false};
	std::atomic<int> handshakes_{0};
	std::thread thread_;
};

} // namespace qiltest

#endif
