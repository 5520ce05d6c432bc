/*
 * tcp_client.h -- a DNS client over TCP for tests: messages with their
 * 2-byte length, raw bytes, and bounded waits for a reply or for the
 * server to close the connection, from any loopback source address.
 */
#ifndef QIL_TEST_TCP_CLIENT_H
#define QIL_TEST_TCP_CLIENT_H

#include <stdint.h>

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qiltest {

class TcpClient {
public:
	/* Connects to addr:port, from the address `from` when given (else the
	 * system's choice); connected() tells whether it worked. */
	TcpClient(const std::string &addr, uint16_t port,
	          std::chrono::milliseconds limit = std::chrono::seconds(5),
	          const std::string &from = "");
	~TcpClient();
	TcpClient(const TcpClient &) = delete;
	TcpClient &operator=(const TcpClient &) = delete;

	bool connected() const { return fd_ >= 0; }
	int fd() const { return fd_; }

	/* Writes the bytes as they are; true when all were written. */
	bool send_raw(std::span<const uint8_t> data);
	/* Writes a message after its 2-byte length. */
	bool send_message(std::span<const uint8_t> msg);

	/* The next whole message, or nullopt after `limit` or at the end. */
	std::optional<std::vector<uint8_t>> receive(std::chrono::milliseconds limit);
	/* True when the server closes (or resets) the connection within `limit`;
	 * whatever it sends meanwhile is read and discarded. */
	bool closed_by_peer(std::chrono::milliseconds limit);
	/* True when the server closes (or resets) the connection within `limit`,
	 * told without reading: what it sent stays unread, as a client that
	 * stopped reading leaves it. */
	bool hung_up(std::chrono::milliseconds limit);

private:
	/* Reads exactly `n` bytes before `until`; false at the end or on time-out. */
	bool read_exact(uint8_t *buf, size_t n, std::chrono::steady_clock::time_point until);

	int fd_ = -1;
};

/* Message plus its 2-byte length, as written over TCP. */
std::vector<uint8_t> tcp_frame(std::span<const uint8_t> msg);

} // namespace qiltest

#endif
