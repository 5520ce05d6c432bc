/*
 * fake_tls_server.cc -- the fake DNS over TLS server: GnuTLS's server side
 * over blocking sockets with time-outs, so that no read or write of the
 * test's thread waits for ever.
 */
#include "fake_tls_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

#include <gnutls/x509.h>

#include "dns_client.h"

namespace qiltest {

namespace {

/* A self-signed certificate and its key, made here and loaded into
 * `cred`; false when GnuTLS refuses. */
bool
self_signed(gnutls_certificate_credentials_t cred)
{
	gnutls_x509_privkey_t key = nullptr;
	gnutls_x509_crt_t crt = nullptr;
	unsigned char serial[] = {1};
	time_t now = time(nullptr);
	bool ok = gnutls_x509_privkey_init(&key) == 0 &&
	    gnutls_x509_privkey_generate(key, GNUTLS_PK_ECDSA,
	        GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0) == 0 &&
	    gnutls_x509_crt_init(&crt) == 0 && gnutls_x509_crt_set_version(crt, 3) == 0 &&
	    gnutls_x509_crt_set_serial(crt, serial, sizeof serial) == 0 &&
	    gnutls_x509_crt_set_activation_time(crt, now - 3600) == 0 &&
	    gnutls_x509_crt_set_expiration_time(crt, now + 86400) == 0 &&
	    gnutls_x509_crt_set_dn(crt, "CN=fake.test", nullptr) == 0 &&
	    gnutls_x509_crt_set_key(crt, key) == 0 &&
	    gnutls_x509_crt_sign2(crt, crt, key, GNUTLS_DIG_SHA256, 0) == 0 &&
	    gnutls_certificate_set_x509_key(cred, &crt, 1, key) == 0;
	if (crt != nullptr)
		gnutls_x509_crt_deinit(crt);
	if (key != nullptr)
		gnutls_x509_privkey_deinit(key);
	return ok;
}

/* Writes without SIGPIPE: the forwarder may close first. */
ssize_t
push(gnutls_transport_ptr_t ptr, const void *data, size_t len)
{
	return send((int)(intptr_t)ptr, data, len, MSG_NOSIGNAL);
}

/* Sends all of `p`; false when the connection is gone. */
bool
send_all(gnutls_session_t s, const uint8_t *p, size_t n)
{
	while (n > 0) {
		ssize_t r = gnutls_record_send(s, p, n);
		if (r == GNUTLS_E_AGAIN || r == GNUTLS_E_INTERRUPTED)
			return false; /* a forwarder that reads nothing for a second */
		if (r < 0)
			return false;
		p += r;
		n -= (size_t)r;
	}
	return true;
}

} // namespace

FakeTlsServer::FakeTlsServer(Mode mode, Answerer answer, const std::string &cert,
                             const std::string &key, const std::string &addr,
                             std::chrono::seconds lifetime)
    : mode_(mode), answer_(std::move(answer)), addr_(addr),
      end_(std::chrono::steady_clock::now() + lifetime)
{
	if (!answer_)
		answer_ = [](const dns::Bytes &q) {
			return dns::build_answer(q, {dns::a_record("192.0.2.81"), dns::a_record("192.0.2.82")});
		};
	if (gnutls_certificate_allocate_credentials(&cred_) != 0)
		throw std::runtime_error("fake TLS server: credentials");
	bool loaded = cert.empty() ? self_signed(cred_) :
	    gnutls_certificate_set_x509_key_file(cred_, cert.c_str(), key.c_str(),
	        GNUTLS_X509_FMT_PEM) == 0;
	listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in sa = make_sockaddr(addr, 0);
	socklen_t l = sizeof sa;
	if (!loaded || listen_fd_ < 0 ||
	    bind(listen_fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
	    listen(listen_fd_, 16) != 0 ||
	    getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&sa), &l) != 0) {
		if (listen_fd_ >= 0)
			close(listen_fd_);
		gnutls_certificate_free_credentials(cred_);
		throw std::runtime_error("fake TLS server: cannot listen or load its certificate");
	}
	port_ = ntohs(sa.sin_port);
	thread_ = std::thread([this] { run(); });
}

FakeTlsServer::~FakeTlsServer()
{
	stop_ = true;
	thread_.join();
	close(listen_fd_);
	gnutls_certificate_free_credentials(cred_);
}

std::string
FakeTlsServer::entry(const std::string &name) const
{
	return "tls://" + addr_ + ":" + std::to_string(port_) + "#" + name;
}

bool
FakeTlsServer::keep_serving() const
{
	if (stop_ || std::chrono::steady_clock::now() > end_)
		return false;
	pollfd p = {listen_fd_, POLLIN, 0};
	return poll(&p, 1, 0) == 0;
}

void
FakeTlsServer::run()
{
	while (!stop_ && std::chrono::steady_clock::now() < end_) {
		pollfd p = {listen_fd_, POLLIN, 0};
		if (poll(&p, 1, 100) != 1)
			continue;
		int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
		if (fd < 0)
			continue;
		timeval tv = {1, 0};
		(void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
		(void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
		serve(fd);
		close(fd);
	}
}

void
FakeTlsServer::serve(int fd)
{
	gnutls_session_t s;
	if (gnutls_init(&s, GNUTLS_SERVER) != 0)
		return;
	(void)gnutls_set_default_priority(s);
	(void)gnutls_credentials_set(s, GNUTLS_CRD_CERTIFICATE, cred_);
	gnutls_transport_set_int(s, fd);
	gnutls_transport_set_push_function(s, push);
	int r;
	int tries = 0;
	do
		r = gnutls_handshake(s);
	while (r < 0 && gnutls_error_is_fatal(r) == 0 && ++tries < 5);
	if (r < 0 || mode_ == Mode::CloseAfterHandshake) {
		if (r >= 0)
			handshakes_++;
		gnutls_deinit(s);
		return;
	}
	handshakes_++;
	dns::Bytes in;
	while (keep_serving()) {
		if (gnutls_record_check_pending(s) == 0) {
			pollfd p = {fd, POLLIN, 0};
			if (poll(&p, 1, 100) != 1)
				continue;
		}
		uint8_t buf[4096];
		ssize_t n = gnutls_record_recv(s, buf, sizeof buf);
		if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED)
			continue;
		if (n <= 0)
			break;
		in.insert(in.end(), buf, buf + n);
		bool more = true;
		while (more && in.size() >= 2 && in.size() >= 2 + (size_t)(in[0] << 8 | in[1])) {
			size_t len = (size_t)(in[0] << 8 | in[1]);
			dns::Bytes q(in.begin() + 2, in.begin() + 2 + (long)len);
			in.erase(in.begin(), in.begin() + 2 + (long)len);
			more = respond(s, q);
		}
		if (!more)
			break;
	}
	gnutls_deinit(s);
}

bool
FakeTlsServer::respond(gnutls_session_t s, const dns::Bytes &query)
{
	if (query.size() < dns::HEADER_SIZE)
		return true;
	dns::Bytes a = answer_(query);
	if (mode_ == Mode::WrongIds)
		a = dns::with_id(a, (uint16_t)(dns::message_id(query) ^ 0x8000));
	std::vector<uint8_t> framed = {(uint8_t)(a.size() >> 8), (uint8_t)(a.size() & 0xff)};
	framed.insert(framed.end(), a.begin(), a.end());
	if (mode_ != Mode::Trickle)
		return send_all(s, framed.data(), framed.size());
	for (uint8_t b : framed) {
		if (!keep_serving() || !send_all(s, &b, 1))
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(250));
	}
	return false;
}

} // namespace qiltest
