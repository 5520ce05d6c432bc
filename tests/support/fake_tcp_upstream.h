/*
 * fake_tcp_upstream.h -- a scripted upstream DNS server over TCP for
 * integration tests, usually beside a FakeUpstream on the same address and
 * port.
 *
 * It records every message (read after its 2-byte length) and answers as
 * the script says, each reply after its delay and with its length in
 * front (Reply::Via::Raw: the bytes as given, no length); a reply whose
 * data is empty closes the connection instead. One thread serves every
 * connection; it stops when the object is destroyed, and by itself once
 * the lifetime has run out.
 */
#ifndef QIL_TEST_FAKE_TCP_UPSTREAM_H
#define QIL_TEST_FAKE_TCP_UPSTREAM_H

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_upstream.h"

namespace qiltest {

class FakeTcpUpstream {
public:
	/* Listens on addr:port (port 0: ephemeral). Throws when it cannot. */
	FakeTcpUpstream(const std::string &addr, Script script, uint16_t port = 0,
	                std::chrono::seconds lifetime = std::chrono::seconds(60));
	~FakeTcpUpstream();
	FakeTcpUpstream(const FakeTcpUpstream &) = delete;
	FakeTcpUpstream &operator=(const FakeTcpUpstream &) = delete;

	uint16_t port() const { return port_; }
	std::vector<Received> received() const;
	size_t received_count() const;
	/* Connections accepted so far. */
	size_t connections() const { return connections_; }

private:
	struct Conn {
		int fd;
		uint64_t serial;
		std::vector<uint8_t> in;
	};
	struct Out {
		Clock::time_point due;
		uint64_t serial; /* the connection it goes to */
		Reply reply;
	};

	void run();
	void accept_one();
	/* Reads what came; false when the connection is over. */
	bool read_from(Conn &c);
	void send_due();

	std::string addr_;
	uint16_t port_ = 0;
	int fd_ = -1;
	Clock::time_point deadline_;
	Script script_;
	mutable std::mutex mu_;
	std::vector<Received> received_;
	std::vector<Conn> conns_; /* the thread's own */
	std::vector<Out> out_;    /* the thread's own */
	uint64_t serial_ = 0;
	std::atomic<size_t> connections_{0};
	std::atomic<bool> stop_{false};
	std::thread thread_;
};

} // namespace qiltest

#endif
