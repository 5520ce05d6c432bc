/*
 * relay.h -- response relay: DNS_remote() and the held-answer queue.
 *
 * Owned by the event-loop thread alone; nothing here is locked.
 */
#ifndef QILDNSC_RELAY_H
#define QILDNSC_RELAY_H

#include <stdint.h>
#include "odr.h"
#include "forward/sockets.h"

/* Room for this many held answers; when full, the oldest goes unsent. */
#define HELD_ANSWERS_SLOTS 4096
/* Plain answers of EDNS size; an encrypted server's datagram longer than a
 * frame (QCA_FRAME_MAXSIZE) is refused as the message-size error. */
#define REMOTE_BUFSIZE SOCK_DGRAM_MAX
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
	uint8_t data[REMOTE_BUFSIZE];
};
#define HELD_NONE 0xffffu
static_assert(HELD_ANSWERS_SLOTS < HELD_NONE, "slot numbers fit 16 bits");

/* Seconds from `earlier` to `later`, as the hold queue compares them. */
float elapsed_seconds(const struct odr_timeval *earlier, const struct odr_timeval *later);

/* The clock of the hold queue: monotonic, so that a step of the wall clock
 * neither freezes nor floods the held answers. */
void held_now(struct odr_timeval *now);

/*
 * Holds a copy of an answer of at most REMOTE_BUFSIZE bytes, stamped `now`;
 * a newer answer for the same ID, client address and client ID (the first
 * two bytes of `data`) replaces it and goes to the back.
 */
void hold_answer_at(const struct odr_timeval *now, uint16_t id, const uint8_t *data,
                    int32_t len, const struct sockaddr_storage *client_addr,
                    int32_t client_addrlen);
/* Queues the held answers due at `now` for the listening socket, oldest
 * first. */
void release_held_answers_at(const struct odr_timeval *now);

/* The same, at the clock's present time; the release also sends at once. */
void hold_answer(uint16_t id, const uint8_t *data, int32_t len,
                 const struct sockaddr_storage *client_addr, int32_t client_addrlen);
void release_held_answers(void);
/* Number of answers held now. */
int held_answers_count(void);
/* How long the loop may wait at `now` before the oldest held answer is due:
 * milliseconds, at most `longest_ms` (all of it when nothing is held). */
int held_wait_ms(const struct odr_timeval *now, int longest_ms);

/*
 * Checks one datagram received at `now` on upstream socket number `sock`
 * (an index of remote_fds) and relays, holds or drops it (relayed answers
 * are queued on local_fd). An answer counts only on the socket its query
 * left from.
 */
void DNS_remote(struct sock_dgram *d, int sock, const struct odr_timeval *now);

/* A time of the hold queue's clock in seconds, as the log's limits take it. */
double relay_seconds(const struct odr_timeval *t);
/* Writes the summaries of the relay's rate-limited lines whose second is
 * over (called on every loop turn). */
void relay_log_flush(double now);

#endif
