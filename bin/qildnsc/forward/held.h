/*
 * held.h -- held answers: answers the filter keeps back for HOLD_DELAY as
 * a fallback, in a fixed pool, found by upstream ID and released in due
 * order to the listening socket.
 *
 * Below relay (which holds) and the loop (which releases and asks how long
 * it may wait). Owned by the event-loop thread alone; nothing here is
 * locked, and nothing allocates after held_init().
 */
#ifndef QILDNSC_HELD_H
#define QILDNSC_HELD_H

#include <stdint.h>

#include "forward/sockets.h"
#include "odr.h"

/* Room for this many held answers; when full, the oldest goes unsent. */
#define HELD_ANSWERS_SLOTS 4096
#define HOLD_DELAY 0.3f

/*
 * One held answer, in fixed storage. The queue is a list in due order:
 * oldest first, and an answer refreshed by a newer one for the same ID
 * moves to the back.
 */
struct held_answer {
	uint16_t id;
	uint16_t older, newer; /* neighbours in the queue, or HELD_NONE */
	uint8_t queued;
	struct odr_timeval stamp; /* monotonic: when the answer was held */
	int32_t len;
	struct sockaddr_storage client_addr;
	int32_t client_addrlen;
	int server; /* the upstream server's number, for its statistics */
	int cache_bits; /* the query's key bits in the cache, or -1: not stored */
	uint8_t data[SOCK_DGRAM_MAX];
};
#define HELD_NONE 0xffffu
static_assert(HELD_ANSWERS_SLOTS < HELD_NONE, "slot numbers fit 16 bits");

/* Makes the pool empty; start-up and tests call it before anything else
 * here. */
void held_init(void);

/* Seconds from `earlier` to `later`, as the hold queue compares them. */
float elapsed_seconds(const struct odr_timeval *earlier, const struct odr_timeval *later);
/* Microseconds from `earlier` to `later` on the hold queue's clock. */
int64_t elapsed_usec(const struct odr_timeval *earlier, const struct odr_timeval *later);

/* The clock of the hold queue: monotonic, so that a step of the wall clock
 * neither freezes nor floods the held answers. */
void held_now(struct odr_timeval *now);

/*
 * Holds a copy of an answer of at most SOCK_DGRAM_MAX bytes, stamped `now`;
 * a newer answer for the same ID, client address and client ID (the first
 * two bytes of `data`) replaces it and goes to the back, unless the held
 * one is a real answer (RCODE NOERROR or NXDOMAIN, records or none) and
 * the newer a server's failure (any other RCODE): then the newer is
 * dropped. `server` is the number of the upstream
 * server that sent it. With `cache_bits` 0 or more, the answer goes into the
 * process's cache (qil_cache) when it is released, under those key bits. A
 * `client_addrlen` of 0 holds the answer of a cache refresh: released into
 * the cache only. Returns HOLD_NEW, HOLD_KEPT_OUT (the newer one dropped),
 * or the number of the server whose held answer was replaced.
 */
#define HOLD_NEW (-1)
#define HOLD_KEPT_OUT (-2)
int hold_answer_at(const struct odr_timeval *now, uint16_t id, const uint8_t *data,
                   int32_t len, const struct sockaddr_storage *client_addr,
                   int32_t client_addrlen, int server = 0, int cache_bits = -1);
/* Queues the held answers due at `now` for the listening socket, oldest
 * first, and stores those meant for the cache. An answer whose query (its
 * pending record, while the ring still holds it) has had an answer from
 * elsewhere meanwhile is not sent. */
void release_held_answers_at(const struct odr_timeval *now);

/* hold_answer_at() at the clock's present time. */
void hold_answer(uint16_t id, const uint8_t *data, int32_t len,
                 const struct sockaddr_storage *client_addr, int32_t client_addrlen);
/* release_held_answers_at() at the clock's present time, and sends at once. */
void release_held_answers(void);
/* Number of answers held now. */
int held_answers_count(void);
/* How long the loop may wait at `now` before the oldest held answer is due:
 * milliseconds, at most `longest_ms` (all of it when nothing is held; -1
 * puts no bound). */
int held_wait_ms(const struct odr_timeval *now, int longest_ms);

#endif
