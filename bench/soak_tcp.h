/*
 * soak_tcp.h -- the TCP side of the soak (bench/soak_driver.cc): the
 * upstream server over TCP, a client that asks over TCP once a second, and
 * the abusers: tricklers (a byte of a message a second) and stalled
 * readers (queries for large answers, none of them read), each
 * reconnecting as soon as the forwarder closes it. Each runs on a thread
 * of its own until `stop` is set.
 */
#ifndef QIL_BENCH_SOAK_TCP_H
#define QIL_BENCH_SOAK_TCP_H

#include <stdint.h>

#include <atomic>
#include <thread>
#include <vector>

struct SoakTcpCounts {
	/* The client's questions: asked, answered within 1 s, not asked for
	 * want of a connection, closed by the forwarder before the answer. */
	std::atomic<unsigned long> asked{0}, answered{0}, unconnected{0}, closed{0};
	std::atomic<unsigned long> trickler_closed{0}, stalled_closed{0};
};

/*
 * Starts the upstream server over TCP on 127.0.0.2:`up_port`, the client,
 * and `abusers` tricklers and as many stalled readers, eight from each
 * loopback address (tricklers from 127.0.0.40 up, stalled readers from
 * 127.0.0.20 up), against the forwarder on 127.0.0.1:`fwd_port`.
 */
void soak_tcp_start(uint16_t fwd_port, uint16_t up_port, int abusers,
                    const std::atomic<bool> &stop, SoakTcpCounts &counts,
                    std::vector<std::thread> &threads);

/* A query for "<kind><seq>.soak.example", type A (soak_driver.cc). */
std::vector<uint8_t> soak_query(uint16_t id, char kind, unsigned seq);
/* Turns the query `q` (`n` bytes, room `cap`) into its answer in place, as
 * the kind in its name asks ('b': blocklisted, 'h': one record, else two);
 * the answer's length, or 0 when `q` is no such query or the room too
 * small (soak_driver.cc). */
size_t soak_answer(uint8_t *q, size_t n, size_t cap);

#endif
