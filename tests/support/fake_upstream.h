/*
 * fake_upstream.h -- a scripted upstream DNS server for integration tests,
 * plain or speaking the encrypted framing of encrypted upstream servers.
 *
 * It listens on one 127.0.0.x address, records every datagram it receives
 * and answers each one as its script says: any number of replies, each
 * after its own delay, framed and encrypted or sent raw, from its own
 * socket or from a second "stranger" socket on the same address. It runs on
 * a thread of its own that stops when the object is destroyed, and by
 * itself once its lifetime has run out.
 */
#ifndef QIL_TEST_FAKE_UPSTREAM_H
#define QIL_TEST_FAKE_UPSTREAM_H

#include <netinet/in.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dns_client.h"

namespace qiltest {

/* One datagram as the fake received it. */
struct Received {
	std::vector<uint8_t> raw;     /* the datagram as it came */
	std::vector<uint8_t> message; /* the DNS message: raw, or unframed */
	bool frame_ok = true;         /* encrypted fake: the frame unwrapped */
	size_t length_field = 0;      /* encrypted fake: the frame's length L */
	std::vector<uint8_t> block;   /* encrypted fake: all N-2 bytes decrypted */
	sockaddr_in from{};
	Clock::time_point at;
};

/* One reply of the script. */
struct Reply {
	enum class Via {
		Normal,   /* framed and encrypted when the fake is encrypted */
		Raw,      /* the bytes as given, never framed */
		Stranger, /* as given, from another port of the fake's address */
	};
	std::chrono::milliseconds delay{0};
	std::vector<uint8_t> data;
	Via via = Via::Normal;
};

/* Given what arrived, the replies to send back to its sender. */
using Script = std::function<std::vector<Reply>(const Received &)>;

class FakeUpstream {
public:
	/*
	 * Starts serving on addr:port (port 0: ephemeral). Without a script
	 * the fake only records. Encrypted fakes use the forwarder's built-in
	 * key. Throws when the socket cannot be bound.
	 */
	FakeUpstream(const std::string &addr, bool encrypted, Script script = {},
	             uint16_t port = 0,
	             std::chrono::seconds lifetime = std::chrono::seconds(60));
	~FakeUpstream();
	FakeUpstream(const FakeUpstream &) = delete;
	FakeUpstream &operator=(const FakeUpstream &) = delete;

	const std::string &address() const { return sock_.address(); }
	uint16_t port() const { return sock_.port(); }
	/* The port that Reply::Via::Stranger replies come from. */
	uint16_t stranger_port() const { return stranger_.port(); }
	bool encrypted() const { return encrypted_; }
	/* The fake's entry in a server list: "[E]addr:port". */
	std::string list_entry() const;

	void set_script(Script script);

	std::vector<Received> received() const;
	size_t received_count() const;
	/* Waits (bounded) until at least `n` datagrams have arrived. */
	bool wait_received(size_t n, std::chrono::milliseconds limit =
	                                 std::chrono::seconds(5)) const;
	/* Waits (bounded) until every scheduled reply has been sent. */
	bool wait_idle(std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

	/* How many times the script threw (and so answered nothing). */
	size_t script_failures() const { return script_failures_; }

	/* Frames and encrypts a message with the built-in key. */
	static std::vector<uint8_t> frame(std::span<const uint8_t> msg);

private:
	struct Pending {
		Clock::time_point due;
		Reply reply;
		sockaddr_in to;
	};

	void run();
	void handle(Received r);
	void send_due();

	bool encrypted_;
	Clock::time_point deadline_;
	UdpSocket sock_;
	UdpSocket stranger_;
	int wake_[2] = {-1, -1};
	mutable std::mutex mu_;
	Script script_;
	std::vector<Received> received_;
	std::vector<Pending> pending_;
	std::atomic<size_t> script_failures_{0};
	std::atomic<bool> stop_{false};
	std::thread thread_;
};

} // namespace qiltest

#endif
